/* branches: known calls through known branches, for exact line and function counts in a coverage tracefile.
   Each counted line says how often it runs. */
static int classify(int v)
{
    if (v < 0) /* COUNT 10 */
        return -1; /* COUNT 3 */
    if (v == 0) /* COUNT 7 */
        return 0; /* COUNT 1 */
    return 1; /* COUNT 6 */
}

static int never(void)
{
    return 42; /* COUNT 0 */
}

int main(int argc, char **argv)
{
    int sum = 0;
    for (int i = -3; i <= 6; i++)
        sum += classify(i); /* COUNT 10 */
    if (argc > 5)
        sum += never(); /* COUNT 0 */
    (void)argv;
    return sum == 3 ? 0 : 1; /* COUNT 1 */
}
