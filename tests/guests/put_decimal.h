/* Writes u in decimal at out; returns the number of digits (the guests print without the library's printf). */
static int put_decimal(char *out, unsigned int u)
{
    char digits[12];
    int d = 0;
    int n = 0;
    do {
        digits[d++] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    while (d > 0)
        out[n++] = digits[--d];
    return n;
}
