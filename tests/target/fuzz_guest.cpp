/* fuzz_guest: feeds its standard input to the library's text-facing functions with every output array ending at
 * an unmapped page, so that any store or read past an array faults; exit 0 clean, 2 bad call, 3 wrong result.
 *
 * The guarded arena. tavik-run maps the stack right below 0xC0000000 and nothing at or above it; it copies the
 * argument strings to the top of the stack, argv[0] highest and ending 16 bytes below 0xC0000000, each next
 * string right below the one before, and the pointer array below the strings. The driver passes one argument of
 * exactly 8192 'x' bytes, so once main has checked that layout the top 8192 bytes below 0xC0000000 hold nothing
 * but argument strings and are ours: an array of n bytes placed at 0xC0000000 - n has its last byte on the last
 * mapped one. argv is never read again after that check.
 *
 * The input (at most 4096 bytes are used; missing bytes read as zero), or, when standard input starts with
 * "TFZL", a stream of such inputs (see run_loop):
 *   bytes 0-1    the formatter's size, big-endian, modulo 4096
 *   bytes 2-65   sixteen little-endian argument words
 *   then seven NUL-separated fields:
 *     F0 a format for vsnprintf and vfprintf     F1 the text every %s argument points to
 *     F2 the text for sscanf                     F3 the format for sscanf
 *     F4 text for strtoul, strtold and atoi      F5 text for strtok   F6 its delimiters
 * Argument words are raw integers, except those a directive reads as a string: those point at a copy of F1, or
 * are null when the word's low two bits are clear. The guest reads each format the way the engine does to know
 * which word is which; a format that would take more than sixteen words is cut before the directive that would.
 * vfprintf writes a byte per call, so it runs only when its output is bounded small (its '*' words are folded
 * into -999..999); its output is compared with vsnprintf's when the format stays within what both engines read
 * alike (no flags, no "ll" or "z", no X or p). sscanf's %s without a width could fill any array, so a sscanf
 * format is cut before a %s whose width is missing or above 1024. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tt_guard.h"
#include "va_calls.h"

static const unsigned int k_input_max = 4096;
static const unsigned int k_header = 66;
static const unsigned int k_fields = 7;
static const unsigned int k_words = 16;
static const unsigned int k_arena = 8192;
static const unsigned int k_pad = 8192;
static const unsigned int k_canary = 16;
static const unsigned long long k_stream_bound = 4096;
static const unsigned int k_scan_width_max = 1024;
static const unsigned int k_loop_inputs = 1000;
/* What a loop may take from the 1 MiB heap before an input's stream could run short of it. */
static const unsigned long k_loop_heap_budget = (1u << 20) - 4 * k_stream_bound - 65536;

enum slot_role { ROLE_INT, ROLE_STAR, ROLE_STR };

/* The argument words of one formatter call and what each one is. */
struct arg_plan {
    unsigned int count;
    slot_role role[k_words];
    unsigned int word[k_words];
};

static unsigned char g_input[k_input_max + 1];
static unsigned int g_input_len;
static const char *g_field[k_fields];
static unsigned int g_field_len[k_fields];
static unsigned int g_size;
static unsigned int g_raw_word[k_words];

static char g_text[k_input_max + 1];
static char g_format[k_input_max + 1];
static char g_out[k_input_max + k_canary];
static char g_out_wide[k_stream_bound + 2];
static char g_pool[k_words][k_scan_width_max + 1 + k_canary];
static char g_tok[k_input_max + 1];

static void put(const char *s)
{
    write(1, s, strlen(s));
}

static void finding(const char *what)
{
    put("fuzz_guest: ");
    put(what);
    put("\n");
    _exit(3);
}

static void check(bool ok, const char *what)
{
    if (!ok)
        finding(what);
}

static char *arena_top()
{
    return (char *)(unsigned long)0xC0000000u;
}

/* The layout the arena relies on, checked before anything uses the top of the stack. */
static bool arguments_leave_arena(int argc, char **argv)
{
    if (argc != 2 || strlen(argv[1]) != k_pad)
        return false;
    if (argv[1] + k_pad + 1 != argv[0])
        return false;
    if (argv[0] + strlen(argv[0]) + 1 > arena_top())
        return false;
    return (char *)(argv + argc + 1) <= argv[1];
}

/* Reads up to n bytes, fewer only at the end of the input; the count read. */
static unsigned int read_upto(unsigned char *to, unsigned int n)
{
    unsigned int done = 0;
    while (done < n) {
        int got = read(0, to + done, n - done);
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

static void keep(const unsigned char *bytes, unsigned int n)
{
    for (unsigned int i = 0; i < n && g_input_len < k_input_max; i++)
        g_input[g_input_len++] = bytes[i];
}

static void read_rest()
{
    unsigned char chunk[512];
    for (;;) {
        int got = read(0, chunk, sizeof chunk);
        if (got <= 0)
            break;
        keep(chunk, got);
    }
}

/* Splits the bytes after the header; g_input keeps a zero after its last byte, so every field ends. */
static void split_input()
{
    g_size = ((unsigned int)g_input[0] << 8 | g_input[1]) % k_input_max;
    for (unsigned int i = 0; i < k_words; i++) {
        const unsigned char *w = g_input + 2 + 4 * i;
        g_raw_word[i] = w[0] | (unsigned int)w[1] << 8 | (unsigned int)w[2] << 16 | (unsigned int)w[3] << 24;
    }
    unsigned int at = g_input_len < k_header ? g_input_len : k_header;
    for (unsigned int f = 0; f < k_fields; f++) {
        g_field[f] = (const char *)g_input + at;
        g_field_len[f] = strlen(g_field[f]);
        at += g_field_len[f];
        if (at < g_input_len)
            at++;
    }
}

/* A NUL-terminated copy of a field whose terminator is the last mapped byte. */
static char *guarded_field(unsigned int f)
{
    char *copy = tt_guarded_tail(g_field_len[f] + 1);
    memcpy(copy, g_field[f], g_field_len[f] + 1);
    return copy;
}

static char *plain_field(unsigned int f, char *buf)
{
    memcpy(buf, g_field[f], g_field_len[f] + 1);
    return buf;
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

/* A '*' (star set) or a run of digits, wrapping modulo 2^32 as the formatters do (value set). */
static const char *star_or_number(const char *p, bool *star, int *value)
{
    if (*p == '*') {
        *star = true;
        return p + 1;
    }
    unsigned int v = 0;
    for (; is_digit(*p); p++)
        v = v * 10u + (unsigned int)(*p - '0');
    *value = (int)v;
    return p;
}

/* Adds a slot; false when the sixteen are used up. */
static bool add_slot(arg_plan *plan, slot_role role)
{
    if (plan->count == k_words)
        return false;
    plan->role[plan->count++] = role;
    return true;
}

/* The settings of one directive as the guest reads them. */
struct directive {
    bool flags;
    bool star_width;
    bool star_precision;
    int width;
    int precision;
    int longs;
    bool size_z;
    char conversion;
};

/* Reads one directive after its '%' the way the engine named by with_flags reads it (the buffer formatter takes
 * flags and 'z', the stream formatter neither); returns the position of the conversion character. */
static const char *read_directive(const char *p, bool with_flags, directive *d)
{
    *d = directive{false, false, false, 0, -1, 0, false, 0};
    while (with_flags && (*p == '-' || *p == '0' || *p == '+')) {
        d->flags = true;
        p++;
    }
    p = star_or_number(p, &d->star_width, &d->width);
    if (*p == '.')
        p = star_or_number(p + 1, &d->star_precision, &d->precision);
    if (*p == 'l') {
        p++;
        d->longs = 1;
        if (*p == 'l') {
            p++;
            d->longs = 2;
        }
    } else if (with_flags && *p == 'z') {
        d->size_z = true;
        p++;
    }
    d->conversion = *p;
    return p;
}

static bool is_int_conversion(char c, bool buffer_engine)
{
    if (c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'p' || c == 'c')
        return true;
    return buffer_engine && c == 'X';
}

/* The words one directive takes beyond its '*' ones. */
static unsigned int value_words(const directive *d, bool buffer_engine)
{
    if (d->conversion == 's')
        return 1;
    if (!is_int_conversion(d->conversion, buffer_engine))
        return 0;
    if (!buffer_engine && d->longs == 2 && d->conversion != 'c')
        return 2;
    return 1;
}

static bool add_directive_slots(arg_plan *plan, const directive *d, bool buffer_engine)
{
    if (d->star_width && !add_slot(plan, ROLE_STAR))
        return false;
    if (d->star_precision && !add_slot(plan, ROLE_STAR))
        return false;
    slot_role role = d->conversion == 's' ? ROLE_STR : ROLE_INT;
    for (unsigned int i = value_words(d, buffer_engine); i > 0; i--)
        if (!add_slot(plan, role))
            return false;
    return true;
}

/* Folds a '*' word into -999..999 for the stream formatter, which writes every padding byte with a call. */
static int folded_star(unsigned int word)
{
    int v = (int)(word % 1999u);
    return v - 999;
}

static unsigned long long positive(int v)
{
    return v > 0 ? (unsigned long long)v : 0;
}

/* An upper bound on the bytes one directive produces in the stream formatter. */
static unsigned long long stream_directive_bound(const directive *d, int width, int precision)
{
    char c = d->conversion;
    if (c == 's')
        return positive(width) + g_field_len[1] + 6;
    if (c == 'c' || c == '%')
        return 1;
    if (is_int_conversion(c, false))
        return positive(width) + positive(precision) + 24;
    return 2;
}

/* What a scan of the format learnt: the words, whether both engines read it alike, and a bound on the stream
 * formatter's output. */
struct format_plan {
    arg_plan args;
    bool common;
    unsigned long long bound;
};

/* Reads format as the engine named by buffer_engine does, fills the plan and cuts the format where the next
 * directive would take a seventeenth word. */
static void plan_format(char *format, bool buffer_engine, format_plan *plan)
{
    plan->args.count = 0;
    plan->common = true;
    plan->bound = 0;
    char *p = format;
    while (*p) {
        if (*p != '%') {
            p++;
            plan->bound++;
            continue;
        }
        directive d;
        char *start = p;
        unsigned int before = plan->args.count;
        p = (char *)read_directive(p + 1, buffer_engine, &d);
        if (d.flags || d.size_z || d.longs == 2 || d.conversion == 'X' || d.conversion == 'p')
            plan->common = false;
        if (!*p)
            break;
        if (!add_directive_slots(&plan->args, &d, buffer_engine)) {
            plan->args.count = before;
            *start = '\0';
            return;
        }
        unsigned int slot = before;
        int width = d.star_width ? folded_star(g_raw_word[slot++]) : d.width;
        int precision = d.star_precision ? folded_star(g_raw_word[slot]) : d.precision;
        plan->bound += stream_directive_bound(&d, width, precision);
        p++;
    }
}

/* Gives each slot its word: raw integers, folded '*' words when asked, and string pointers to text. */
static void fill_words(arg_plan *args, bool fold_stars, const char *text)
{
    for (unsigned int i = 0; i < k_words; i++) {
        unsigned int raw = g_raw_word[i];
        args->word[i] = raw;
        if (i >= args->count)
            continue;
        if (args->role[i] == ROLE_STAR && fold_stars)
            args->word[i] = (unsigned int)folded_star(raw);
        if (args->role[i] == ROLE_STR)
            args->word[i] = (raw & 3u) ? (unsigned int)(unsigned long)text : 0u;
    }
}

/* A real argument list of sixteen words: the formatters take them with va_arg in order. */
static int words_vsnprintf(char *dst, size_t size, const char *format, const unsigned int *w)
{
    return list_vsnprintf(dst, size, format, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10],
                          w[11], w[12], w[13], w[14], w[15]);
}

static int words_vfprintf(FILE *stream, const char *format, const unsigned int *w)
{
    return list_vfprintf(stream, format, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11],
                         w[12], w[13], w[14], w[15]);
}

/* The bytes vsnprintf leaves in an array of size for a result n: the stored characters and the terminator. */
static unsigned int stored_bytes(int n, unsigned int size)
{
    if (size == 0)
        return 0;
    return (unsigned int)n < size - 1 ? (unsigned int)n + 1 : size;
}

static void fill_canary(char *at)
{
    memset(at, 0x5A, k_canary);
}

static bool canary_intact(const char *at)
{
    for (unsigned int i = 0; i < k_canary; i++)
        if ((unsigned char)at[i] != 0x5A)
            return false;
    return true;
}

/* The buffer formatter three times: output against the guard, the %s text against it, the format against it. */
static void fuzz_vsnprintf()
{
    char *format = plain_field(0, g_format);
    format_plan plan;
    plan_format(format, true, &plan);
    char *text = plain_field(1, g_text);
    fill_words(&plan.args, false, text);

    char *dst = tt_guarded_tail(g_size);
    int n = words_vsnprintf(dst, g_size, format, plan.args.word);
    unsigned int kept = stored_bytes(n, g_size);
    check(kept == 0 || dst[kept - 1] == '\0', "vsnprintf left its output unterminated");
    memcpy(g_tok, dst, kept);

    char *guarded_text = guarded_field(1);
    fill_words(&plan.args, false, guarded_text);
    fill_canary(g_out + g_size);
    int again = words_vsnprintf(g_out, g_size, format, plan.args.word);
    check(again == n && memcmp(g_out, g_tok, kept) == 0, "vsnprintf differs with its string moved");
    check(canary_intact(g_out + g_size), "vsnprintf stored past its size");

    fill_words(&plan.args, false, text);
    unsigned int format_len = strlen(format);
    char *guarded_format = tt_guarded_tail(format_len + 1);
    memcpy(guarded_format, format, format_len + 1);
    again = words_vsnprintf(g_out, g_size, guarded_format, plan.args.word);
    check(again == n && memcmp(g_out, g_tok, kept) == 0, "vsnprintf differs with its format moved");
}

/* Opens a memory stream whose buffer is preset to cap bytes ending at the guard. The record's buffer fields are
 * public; with a capacity that exactly holds the expected output and its terminator, the stream never grows and
 * its terminator lands on the last mapped byte. The word below the buffer is cleared so that a growth the guest
 * did not expect copies nothing and shows as a mismatch rather than a stray read. */
static FILE *guarded_memstream(char **buf, size_t *size, unsigned int cap)
{
    FILE *stream = open_memstream(buf, size);
    check(stream != nullptr, "open_memstream failed");
    char *block = tt_guarded_tail(cap);
    memset(block - 4, 0, 4);
    stream->buf = block;
    stream->cap = cap;
    return stream;
}

/* Whether the buffer formatter reads the format of plan (the stream formatter's) into the same words. */
static bool read_alike(const format_plan &plan)
{
    if (!plan.common)
        return false;
    static char s_format[k_input_max + 1];
    char *format = plain_field(0, s_format);
    format_plan buffer_plan;
    plan_format(format, true, &buffer_plan);
    if (!buffer_plan.common || buffer_plan.args.count != plan.args.count || strcmp(format, g_format) != 0)
        return false;
    return memcmp(buffer_plan.args.role, plan.args.role, sizeof plan.args.role[0] * plan.args.count) == 0;
}

/* The stream formatter into a memory stream, then into one against the guard, and against vsnprintf when both
 * engines read the format alike. */
static void fuzz_vfprintf()
{
    char *format = plain_field(0, g_format);
    format_plan plan;
    plan_format(format, false, &plan);
    if (plan.bound > k_stream_bound)
        return;
    char *text = plain_field(1, g_text);
    fill_words(&plan.args, true, text);

    char *buf = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buf, &size);
    check(stream != nullptr, "open_memstream failed");
    int n = words_vfprintf(stream, format, plan.args.word);
    check(n >= 0 && (size_t)n == size, "vfprintf's count differs from the stream's size");
    check(n == 0 || (buf != nullptr && buf[n] == '\0'), "the memory stream is unterminated");
    fclose(stream);

    if (read_alike(plan)) {
        int want = words_vsnprintf(g_out_wide, sizeof g_out_wide, format, plan.args.word);
        check(want == n && (n == 0 || memcmp(g_out_wide, buf, (size_t)n) == 0),
              "vfprintf and vsnprintf differ on the same format");
    }

    if ((unsigned int)n + 1 + 4 > k_arena)
        return;
    char *guarded_buf = nullptr;
    size_t guarded_size = 0;
    stream = guarded_memstream(&guarded_buf, &guarded_size, (unsigned int)n + 1);
    int again = words_vfprintf(stream, format, plan.args.word);
    check(again == n && guarded_size == (size_t)n, "vfprintf differs into a preset buffer");
    check(n == 0 || (guarded_buf == tt_guarded_tail((unsigned int)n + 1) && memcmp(guarded_buf, buf, (size_t)n) == 0),
          "vfprintf's preset buffer holds other bytes");
    fclose(stream);
}

/* One sscanf destination: its size, and where this run puts it. */
struct scan_plan {
    unsigned int count;
    unsigned int size[k_words];
    char *dst[k_words];
};

/* Reads the sscanf format as the engine does and cuts it before a destination the guest cannot bound. */
static void plan_scan(char *format, scan_plan *plan)
{
    plan->count = 0;
    char *p = format;
    while (*p) {
        if (*p++ != '%')
            continue;
        char *start = p - 1;
        bool suppressed = *p == '*';
        if (suppressed)
            p++;
        bool has_width = is_digit(*p);
        unsigned int width = 0;
        while (is_digit(*p)) {
            width = width > k_scan_width_max ? width : width * 10u + (unsigned int)(*p - '0');
            p++;
        }
        char c = *p;
        if (!c)
            return;
        p++;
        if (suppressed)
            continue;
        unsigned int size = 0;
        if (c == 'd' || c == 'i' || c == 'x' || c == 'X' || c == 'u')
            size = sizeof(unsigned int);
        else if (c == 'c')
            size = 1;
        else if (c == 's')
            size = width + 1;
        else
            continue;
        bool unbounded = c == 's' && (!has_width || width > k_scan_width_max);
        if (unbounded || plan->count == k_words) {
            *start = '\0';
            return;
        }
        plan->size[plan->count++] = size;
    }
}

static int call_sscanf(const char *text, const char *format, char *const *d)
{
    return sscanf(text, format, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12],
                  d[13], d[14], d[15]);
}

/* Every destination in the pool behind a canary, except the one slot given (k_words for none) at the guard. */
static void place_destinations(scan_plan *plan, unsigned int guarded)
{
    for (unsigned int i = 0; i < k_words; i++) {
        plan->dst[i] = g_pool[i];
        if (i < plan->count && i == guarded)
            plan->dst[i] = tt_guarded_tail(plan->size[i]);
        unsigned int size = i < plan->count ? plan->size[i] : 1;
        memset(plan->dst[i], 0xA5, size);
        if (plan->dst[i] == g_pool[i])
            fill_canary(g_pool[i] + size);
    }
}

static void check_destinations(const scan_plan *plan, int count, int want, const char *want_bytes[])
{
    check(count == want, "sscanf's count differs between runs");
    check(count >= 0 && (unsigned int)count <= plan->count, "sscanf counted more than its destinations");
    for (unsigned int i = 0; i < plan->count; i++) {
        check(memcmp(plan->dst[i], want_bytes[i], plan->size[i]) == 0, "sscanf stored other bytes in a run");
        if (plan->dst[i] == g_pool[i])
            check(canary_intact(g_pool[i] + plan->size[i]), "sscanf stored past a destination");
    }
}

/* sscanf with all destinations in the pool, then once with each against the guard, then the text and the format
 * against it; every run must store the same. */
static void fuzz_sscanf()
{
    char *format = plain_field(3, g_format);
    char *text = plain_field(2, g_text);
    scan_plan plan;
    plan_scan(format, &plan);
    static char s_first[k_words][k_scan_width_max + 1];
    const char *first[k_words];

    place_destinations(&plan, k_words);
    int want = call_sscanf(text, format, plan.dst);
    for (unsigned int i = 0; i < plan.count; i++) {
        memcpy(s_first[i], plan.dst[i], plan.size[i]);
        first[i] = s_first[i];
    }
    check_destinations(&plan, want, want, first);
    for (unsigned int k = 0; k < plan.count; k++) {
        place_destinations(&plan, k);
        check_destinations(&plan, call_sscanf(text, format, plan.dst), want, first);
    }
    place_destinations(&plan, k_words);
    check_destinations(&plan, call_sscanf(guarded_field(2), format, plan.dst), want, first);
    unsigned int format_len = strlen(format);
    char *guarded_format = tt_guarded_tail(format_len + 1);
    memcpy(guarded_format, format, format_len + 1);
    place_destinations(&plan, k_words);
    check_destinations(&plan, call_sscanf(text, guarded_format, plan.dst), want, first);
}

/* The bases strtoul is asked for: every valid one and a few that are not. */
static const int g_bases[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13,  14,   15,          16,
                              17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30,  31,   32,          33,
                              34, 35, 36, -1, 37, 64, -16, 1000, (int)0x80000000u};

/* The numeric conversions on a copy of F4 against the guard; every end lies within the field. */
static void fuzz_numbers()
{
    char *text = guarded_field(4);
    char *limit = text + g_field_len[4];
    for (unsigned int i = 0; i < sizeof g_bases / sizeof g_bases[0]; i++) {
        char *end = nullptr;
        unsigned long value = strtoul(text, &end, g_bases[i]);
        check(end >= text && end <= limit, "strtoul's end lies outside its text");
        check(strtoul(text, nullptr, g_bases[i]) == value, "strtoul differs without an end pointer");
    }
    char *end = nullptr;
    long double value = strtold(text, &end);
    check(end >= text && end <= limit, "strtold's end lies outside its text");
    long double again = strtold(text, nullptr);
    check(memcmp(&value, &again, 10) == 0, "strtold differs without an end pointer");
    check(end != text || value == 0.0L, "strtold gave a value for no number");
    atoi(text);
}

/* Splits text with delim to the end, checking each token; returns the count. */
static unsigned int split_tokens(char *text, unsigned int len, const char *delim)
{
    unsigned int tokens = 0;
    for (char *t = strtok(text, delim); t; t = strtok(nullptr, delim)) {
        check(++tokens <= len, "strtok gave more tokens than bytes");
        check(t >= text && t < text + len && *t != '\0', "strtok gave a token outside its text");
        unsigned int n = strlen(t);
        check(t + n <= text + len, "strtok's token runs past its text");
        for (unsigned int i = 0; i < n; i++)
            check(!delim[0] || !strchr(delim, t[i]), "strtok left a delimiter in a token");
    }
    return tokens;
}

/* strtok over F5 with the text against the guard, then with the delimiters against it. */
static void fuzz_strtok()
{
    unsigned int len = g_field_len[5];
    const char *delim = plain_field(6, g_text);
    unsigned int want = split_tokens(guarded_field(5), len, delim);
    char *text = plain_field(5, g_tok);
    check(split_tokens(text, len, guarded_field(6)) == want, "strtok's count differs with its delimiters moved");
    text = plain_field(5, g_tok);
    split_tokens(text, len, "");
}

static void run_input()
{
    split_input();
    fuzz_vsnprintf();
    fuzz_vfprintf();
    fuzz_sscanf();
    fuzz_numbers();
    fuzz_strtok();
}

/* Where the library's heap has got to: it carves blocks in address order and never gives one back. */
static unsigned long heap_mark()
{
    return (unsigned long)malloc(1);
}

/* Loop mode: records of a 4-byte little-endian length and that many bytes, each answered with one 0x06 byte.
 * The heap never gives memory back and a memory stream's growth takes from it, so once an input could find it
 * too short (or after k_loop_inputs records) the guest ends with 0 and the driver starts a fresh one. */
static void run_loop()
{
    unsigned long first = heap_mark();
    for (unsigned int done = 0; done < k_loop_inputs; done++) {
        unsigned long mark = heap_mark();
        if (first == 0 || mark == 0 || mark - first > k_loop_heap_budget)
            return;
        unsigned char h[4];
        if (read_upto(h, 4) != 4)
            return;
        unsigned int n = h[0] | (unsigned int)h[1] << 8 | (unsigned int)h[2] << 16 | (unsigned int)h[3] << 24;
        if (n > k_input_max)
            finding("a loop record longer than 4096 bytes");
        memset(g_input, 0, sizeof g_input);
        g_input_len = read_upto(g_input, n);
        if (g_input_len != n)
            return;
        run_input();
        write(1, "\x06", 1);
    }
}

int main(int argc, char **argv)
{
    if (!arguments_leave_arena(argc, argv)) {
        put("fuzz_guest: run as fuzz_guest PAD, PAD being 8192 'x' bytes, with the input on standard input\n");
        return 2;
    }
    unsigned char head[4];
    unsigned int got = read_upto(head, 4);
    if (got == 4 && memcmp(head, "TFZL", 4) == 0) {
        run_loop();
        return 0;
    }
    keep(head, got);
    read_rest();
    run_input();
    return 0;
}
