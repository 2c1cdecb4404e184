/* overwrite: a crash whose cause lies long before it. Reads a name from /name.txt and a count from stdin, works,
   copies the name into a table entry too small for a long one (the copy runs over the entry's greeting pointer),
   works on, then prints every greeting: the overwritten one faults. */
#include <stdio.h>
#include <string.h>

struct entry {
    char name[8];
    const char *greeting;
};

static struct entry table[3];

static void set_name(struct entry *e, const char *name)
{
    strcpy(e->name, name); /* OVERWRITE */
}

static unsigned work(unsigned n)
{
    unsigned h = 2166136261u;
    for (unsigned i = 0; i < n; i++)
        h = (h ^ i) * 16777619u;
    return h;
}

int main(void)
{
    char name[64] = "";
    unsigned rounds = 0;
    FILE *f = fopen("/name.txt", "r");
    if (f) {
        fscanf(f, "%63s", name);
        fclose(f);
    }
    fscanf(stdin, "%u", &rounds); /* INPUT */
    for (int i = 0; i < 3; i++)
        table[i].greeting = "hello";
    unsigned sum = work(rounds);
    set_name(&table[1], name);
    sum += work(rounds);
    printf("sum %u\n", sum); /* PRINT */
    for (int i = 0; i < 3; i++)
        printf("%d: %s\n", i, table[i].greeting);
    return 0;
}
