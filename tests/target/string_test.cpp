/* The string functions: guards against absent strings, exact byte differences, copies, searches, strtok's
 * sequences and the heap blocks taken by strdup and strndup. */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "tt.h"

extern "C" unsigned char g_heap[];
extern "C" unsigned int g_heap_used;

/* A non-null pointer inside the first page: an absent string to the functions that guard against it. */
static char *low_pointer(void)
{
    return (char *)(unsigned long)4095;
}

static void test_lengths(void)
{
    TT_EQ(strlen(nullptr), 0);
    TT_EQ(strlen(low_pointer()), 0);
    TT_EQ(strlen((const char *)(unsigned long)1), 0);
    TT_EQ(strlen(""), 0);
    TT_EQ(strlen("abc"), 3);
    TT_EQ(strlen("ab\x80\xff"), 4);
    TT_EQ(strnlen(nullptr, 5), 0);
    TT_EQ(strnlen(low_pointer(), 5), 0);
    TT_EQ(strnlen("abc", 0), 0);
    TT_EQ(strnlen("abc", 2), 2);
    TT_EQ(strnlen("abc", 3), 3);
    TT_EQ(strnlen("abc", 100), 3);
    TT_EQ(strnlen("abc", 0xffffffffu), 3);
}

static void test_comparisons(void)
{
    const char *a = "same";
    TT_EQ(strcmp(nullptr, nullptr), 0);
    TT_EQ(strcmp(low_pointer(), low_pointer()), 0);
    TT_EQ(strcmp(nullptr, "a"), -1);
    TT_EQ(strcmp(low_pointer(), "a"), -1);
    TT_EQ(strcmp(nullptr, low_pointer()), -1);
    TT_EQ(strcmp("a", nullptr), 1);
    TT_EQ(strcmp("a", low_pointer()), 1);
    TT_EQ(strcmp(a, a), 0);
    TT_EQ(strcmp("abc", "abc"), 0);
    TT_EQ(strcmp("a", "c"), -2);
    TT_EQ(strcmp("abc", "ab"), 99);
    TT_EQ(strcmp("ab", "abc"), -99);
    TT_EQ(strcmp("\x80", "a"), 31);
    TT_EQ(strcmp("\xff", ""), 255);
    TT_EQ(strcmp("", ""), 0);

    TT_EQ(strncmp(nullptr, "a", 0), 0);
    TT_EQ(strncmp("a", nullptr, 0), 0);
    TT_EQ(strncmp(nullptr, nullptr, 3), 0);
    TT_EQ(strncmp(low_pointer(), "a", 1), -1);
    TT_EQ(strncmp("a", low_pointer(), 1), 1);
    TT_EQ(strncmp("abc", "abd", 2), 0);
    TT_EQ(strncmp("abc", "abd", 3), -1);
    TT_EQ(strncmp("abc", "abc", 10), 0);
    TT_EQ(strncmp("ab", "abc", 10), -99);
    TT_EQ(strncmp("\xff", "\x01", 1), 254);

    /* Case folding touches A-Z only, and the absent cases test for null alone. */
    TT_EQ(strcasecmp(nullptr, nullptr), 0);
    TT_EQ(strcasecmp(nullptr, "x"), -1);
    TT_EQ(strcasecmp("x", nullptr), 1);
    TT_EQ(strcasecmp("ABC", "abd"), -1);
    TT_EQ(strcasecmp("Hello", "hELLO"), 0);
    TT_EQ(strcasecmp("[", "a"), -6);
    TT_EQ(strcasecmp("a", "["), 6);
    TT_EQ(strcasecmp("@", "`"), -32);
    TT_EQ(strcasecmp("\xc0", "\xe0"), -32);
    TT_EQ(strcasecmp("ab", "ABC"), -'c');
    TT_EQ(strcasecmp("ABC", "ab"), 'c');
    TT_EQ(strncasecmp(nullptr, nullptr, 5), 0);
    TT_EQ(strncasecmp(nullptr, "x", 0), 0);
    TT_EQ(strncasecmp(a, a, 4), 0);
    TT_EQ(strncasecmp(nullptr, "x", 1), -1);
    TT_EQ(strncasecmp("x", nullptr, 1), 1);
    TT_EQ(strncasecmp("ABx", "aby", 2), 0);
    TT_EQ(strncasecmp("ABx", "aby", 3), -1);
    TT_EQ(strncasecmp("Z", "z", 9), 0);
    TT_EQ(strncasecmp("Zq", "z", 9), 'q');
}

static void test_copies(void)
{
    char buf[16];
    memset(buf, 'x', sizeof buf);
    TT_CHECK(strcpy(nullptr, "a") == nullptr);
    TT_CHECK(strcpy(buf, nullptr) == buf);
    TT_MEM_EQ(buf, "\0xx", 3);
    TT_CHECK(strcpy(buf, "hello") == buf);
    TT_MEM_EQ(buf, "hello\0xx", 8);

    memset(buf, 'x', sizeof buf);
    TT_CHECK(strncpy(nullptr, "ab", 5) == nullptr);
    TT_CHECK(strncpy(buf, "ab", 0) == buf);
    TT_EQ(buf[0], 'x');
    TT_CHECK(strncpy(buf, "ab", 5) == buf);
    TT_MEM_EQ(buf, "ab\0\0\0x", 6);
    memset(buf, 'x', sizeof buf);
    strncpy(buf, "abcdef", 3);
    TT_MEM_EQ(buf, "abcx", 4);
    memset(buf, 'x', sizeof buf);
    strncpy(buf, nullptr, 4);
    TT_MEM_EQ(buf, "\0\0\0\0x", 5);

    memset(buf, 'x', sizeof buf);
    strcpy(buf, "ab");
    TT_CHECK(strcat(nullptr, "a") == nullptr);
    TT_CHECK(strcat(low_pointer(), "a") == nullptr);
    TT_CHECK(strcat(buf, nullptr) == buf);
    TT_CHECK(strcat(buf, low_pointer()) == buf);
    TT_MEM_EQ(buf, "ab\0x", 4);
    TT_CHECK(strcat(buf, "cd") == buf);
    TT_MEM_EQ(buf, "abcd\0x", 6);
    TT_CHECK(strcat(buf, "") == buf);
    TT_MEM_EQ(buf, "abcd\0x", 6);

    memset(buf, 'x', sizeof buf);
    strcpy(buf, "ab");
    TT_CHECK(strncat(nullptr, "a", 1) == nullptr);
    TT_CHECK(strncat(low_pointer(), "a", 1) == nullptr);
    TT_CHECK(strncat(buf, nullptr, 3) == buf);
    TT_CHECK(strncat(buf, low_pointer(), 3) == buf);
    TT_CHECK(strncat(buf, "x", 0) == buf);
    TT_MEM_EQ(buf, "ab\0x", 4);
    TT_CHECK(strncat(buf, "xyz", 2) == buf);
    TT_MEM_EQ(buf, "abxy\0x", 6);
    TT_CHECK(strncat(buf, "q", 10) == buf);
    TT_MEM_EQ(buf, "abxyq\0x", 7);
}

static void test_searches(void)
{
    const char *s = "abca";
    TT_CHECK(strchr(nullptr, 'a') == nullptr);
    TT_CHECK(strchr(s, 'a') == s);
    TT_CHECK(strchr(s, 'c') == s + 2);
    TT_CHECK(strchr(s, 0) == s + 4);
    TT_CHECK(strchr(s, 0x161) == s);
    TT_CHECK(strchr(s, 0x100) == s + 4);
    TT_CHECK(strchr(s, 'z') == nullptr);
    TT_CHECK(strchr("a\xe9", 0xe9) != nullptr);
    TT_CHECK(strchr("a\xe9", -23) != nullptr);

    TT_CHECK(strrchr(nullptr, 'a') == nullptr);
    TT_CHECK(strrchr(s, 'a') == s + 3);
    TT_CHECK(strrchr(s, 'b') == s + 1);
    TT_CHECK(strrchr(s, 0) == s + 4);
    TT_CHECK(strrchr(s, 'z') == nullptr);
    TT_CHECK(strrchr("", 'a') == nullptr);

    const char *hay = "aab";
    TT_CHECK(strstr(nullptr, "") == nullptr);
    TT_CHECK(strstr(hay, nullptr) == nullptr);
    TT_CHECK(strstr(hay, "") == hay);
    TT_CHECK(strstr("", "") != nullptr);
    TT_CHECK(strstr(hay, "ab") == hay + 1);
    TT_CHECK(strstr(hay, "b") == hay + 2);
    TT_CHECK(strstr(hay, "aab") == hay);
    TT_CHECK(strstr(hay, "aabb") == nullptr);
    TT_CHECK(strstr(hay, "ba") == nullptr);
    TT_CHECK(strstr("", "a") == nullptr);
}

static void test_memory_guards(void)
{
    char buf[8] = "abcdefg";
    TT_CHECK(memcpy(buf, "xy", 0) == buf);
    TT_CHECK(memmove(buf, buf, 4) == buf);
    TT_CHECK(memmove(buf + 1, buf, 0) == buf + 1);
    TT_CHECK(memset(buf, 'z', 0) == buf);
    TT_STR_EQ(buf, "abcdefg");
    TT_EQ(memcmp(nullptr, nullptr, 0), 0);
    TT_EQ(memcmp("a\x80", "a\x01", 2), 127);
    TT_EQ(memcmp("a\x01", "a\x80", 2), -127);
    TT_EQ(memcmp("ab\0c", "ab\0d", 4), -1);
    TT_CHECK(memmove(buf + 1, buf, 6) == buf + 1);
    TT_STR_EQ(buf, "aabcdef");
    TT_CHECK(memmove(buf, buf + 1, 6) == buf);
    TT_STR_EQ(buf, "abcdeff");
    TT_CHECK(memset(buf, 0x141, 3) == buf);
    TT_STR_EQ(buf, "AAAdeff");
}

/* The request the heap keeps in the word before a block. In a build with the address checks that word lies in
 * the block's redzone: this read is the one that may look there. */
__attribute__((no_sanitize_address)) static unsigned int block_request(const char *block)
{
    return ((const unsigned int *)block)[-1];
}

/* Each block is request + 4 bytes rounded up to 8, so the heap's growth shows the size asked for. */
static void test_duplicates(void)
{
    unsigned int used = g_heap_used;
    char *d = strdup("");
    TT_CHECK(d != nullptr && d[0] == 0);
    TT_EQ(block_request(d), 1);
    TT_EQ(g_heap_used - used, 8);
    TT_CHECK(strdup(nullptr) == nullptr);
    TT_CHECK(strdup(low_pointer()) == nullptr);
    const char *text = "hello";
    d = strdup(text);
    TT_CHECK(d != text);
    TT_STR_EQ(d, "hello");
    TT_EQ(block_request(d), 6);

    TT_CHECK(strndup(nullptr, 3) == nullptr);
    d = strndup("hello", 3);
    TT_STR_EQ(d, "hel");
    TT_EQ(block_request(d), 4);
    d = strndup("hi", 10);
    TT_STR_EQ(d, "hi");
    TT_EQ(block_request(d), 3);
    d = strndup("hi", 0);
    TT_STR_EQ(d, "");
    TT_EQ(block_request(d), 1);
    d = strndup(low_pointer(), 5);
    TT_STR_EQ(d, "");
    TT_EQ(block_request(d), 1);

    /* A failing allocation gives null and leaves errno 12 behind. */
    TT_EQ(errno, 0);
    char big[64];
    memset(big, 'b', sizeof big - 1);
    big[sizeof big - 1] = 0;
    /* Leave 64 bytes of room: the 63-byte string needs a 68-byte block. */
    TT_CHECK(malloc(1048576 - g_heap_used - 64 - 4) != nullptr);
    TT_EQ(g_heap_used, 1048576 - 64);
    TT_CHECK(strdup(big) == nullptr);
    TT_EQ(errno, 12);
    TT_CHECK(strndup(big, 63) == nullptr);
    TT_CHECK(strdup("ok") != nullptr);
    TT_EQ(errno, 12);
}

static void test_tokens(void)
{
    char text[] = " a,,b ";
    char *t = strtok(text, " ,");
    TT_CHECK(t == text + 1);
    TT_STR_EQ(t, "a");
    t = strtok(nullptr, " ,");
    TT_CHECK(t == text + 4);
    TT_STR_EQ(t, "b");
    TT_CHECK(strtok(nullptr, " ,") == nullptr);
    TT_CHECK(strtok(nullptr, " ,") == nullptr);
    TT_CHECK(strtok(nullptr, "") == nullptr);
    /* Only the delimiter that ends a token is overwritten. */
    TT_MEM_EQ(text, " a\0,b\0", 7);

    char whole[] = "x y";
    TT_CHECK(strtok(whole, nullptr) == whole);
    TT_STR_EQ(whole, "x y");
    TT_CHECK(strtok(nullptr, " ") == nullptr);
    char whole2[] = "x y";
    TT_CHECK(strtok(whole2, "") == whole2);
    TT_CHECK(strtok(nullptr, "") == nullptr);

    char empty[] = "";
    TT_CHECK(strtok(empty, " ") == nullptr);
    TT_CHECK(strtok(nullptr, " ") == nullptr);
    char only[] = " ,, ";
    TT_CHECK(strtok(only, " ,") == nullptr);
    TT_CHECK(strtok(nullptr, " ,") == nullptr);
    TT_STR_EQ(only, " ,, ");

    /* A token reaching the end leaves the position null; delimiters can change between calls. */
    char mixed[] = "k=v;w";
    TT_STR_EQ(strtok(mixed, "="), "k");
    TT_STR_EQ(strtok(nullptr, ";"), "v");
    TT_STR_EQ(strtok(nullptr, ";"), "w");
    TT_CHECK(strtok(nullptr, ";") == nullptr);
    char again[] = "ab";
    TT_STR_EQ(strtok(again, ","), "ab");
    TT_CHECK(strtok(nullptr, ",") == nullptr);
}

int main()
{
    TT_CHECK(strtok(nullptr, " ") == nullptr);
    test_lengths();
    test_comparisons();
    test_copies();
    test_searches();
    test_memory_guards();
    test_tokens();
    test_duplicates();
    return tt_summary();
}
