/* history: a long past in memory. Each round stores its number into every cell of a 16 KiB table (four pages),
   so that what a cell held at any moment is known: round * 4096 + index. */
static unsigned cells[4096];

int main(int argc, char **argv)
{
    unsigned rounds = argc > 1 ? 0 : 1500;
    for (char *p = argc > 1 ? argv[1] : "" ; *p; p++)
        rounds = rounds * 10 + (unsigned)(*p - '0');
    for (unsigned round = 1; round <= rounds; round++)
        for (unsigned i = 0; i < 4096; i++)
            cells[i] = round * 4096 + i; /* STORE */
    return (int)(cells[5] & 0x7f); /* END */
}
