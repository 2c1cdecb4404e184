/* The generator: its start state, the sequences after srand, and the range of its results. */
#include <stdlib.h>

#include "tt.h"

extern "C" unsigned int g_rand_state;
extern "C" unsigned int g_rand_seeded;

static void test_start_state()
{
    TT_EQ(g_rand_state, 1u);
    TT_EQ(g_rand_seeded, 0u);
}

static void test_sequences()
{
    static const int after_one[] = {16838, 5758, 10113, 17515, 31051, 5627};
    srand(1);
    TT_EQ(g_rand_seeded, 1u);
    for (int want : after_one)
        TT_EQ(rand(), want);
    srand(0);
    TT_EQ(g_rand_state, 1u);
    for (int want : after_one)
        TT_EQ(rand(), want);
    srand(12345);
    TT_EQ(rand(), 21468);
    TT_EQ(rand(), 9988);
    TT_EQ(rand(), 22117);
    srand(12345);
    TT_EQ(rand(), 21468);
    TT_EQ(g_rand_state, 12345u * 1103515245u + 12345u);
}

/* Bit 31 of the state never shows: a state with it set gives the same result as the state without it. */
static void test_range()
{
    srand(0x80000000u | 777u);
    int high = rand();
    srand(777u);
    TT_EQ(rand(), high);
    srand(0xFFFFFFFFu);
    int top = 0;
    bool in_range = true;
    for (int i = 0; i < 20000; i++) {
        int r = rand();
        in_range = in_range && r >= 0 && r <= RAND_MAX;
        top = r > top ? r : top;
    }
    TT_CHECK(in_range);
    TT_CHECK(top > 32000);
    TT_EQ(g_rand_seeded, 1u);
}

int main()
{
    test_start_state();
    test_sequences();
    test_range();
    return tt_summary();
}
