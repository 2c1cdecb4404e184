/* convert: text to numbers (strtoul, strtol, atoi, atol, strtold, strtod) and the absolute values. */
#include <stdlib.h>

extern "C" {

/* The value of a hexadecimal digit, or -1 for any other character; every base reads its digits through this. */
static int convert_digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static bool convert_is_decimal(char c)
{
    return c >= '0' && c <= '9';
}

static bool convert_is_x(char c)
{
    return c == 'x' || c == 'X';
}

static bool strtoul_is_space(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

static bool atoi_is_space(char c)
{
    return c == '\t' || c == '\n' || c == ' ';
}

static bool strtold_is_space(char c)
{
    return c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == ' ';
}

/* Converts digits in base (0 picks 8, 10 or 16 by the prefix); no sign is accepted and nothing wraps loudly. */
unsigned long strtoul(const char *text, char **end, int base)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0;
    }
    const char *p = text;
    while (strtoul_is_space(*p))
        p++;
    if (base == 0) {
        if (p[0] == '0' && convert_is_x(p[1])) {
            p += 2;
            base = 16;
        } else if (p[0] == '0') {
            p++;
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && p[0] == '0' && convert_is_x(p[1])) {
        p += 2;
    }
    unsigned long value = 0;
    for (;;) {
        int digit = convert_digit_value(*p);
        if (digit < 0 || digit >= base)
            break;
        value = value * (unsigned long)base + (unsigned long)digit;
        p++;
    }
    if (end)
        *end = const_cast<char *>(p);
    return value;
}

/* The same conversion as strtoul, its 32 bits read as signed. */
long strtol(const char *text, char **end, int base)
{
    return (long)strtoul(text, end, base);
}

/* Decimal with an optional sign that must touch a digit; 0 for null or anything else. */
int atoi(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    while (atoi_is_space(*p))
        p++;
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        p++;
    }
    if (!convert_is_decimal(*p))
        return 0;
    unsigned int value = 0;
    while (convert_is_decimal(*p)) {
        value = value * 10u + (unsigned int)(*p - '0');
        p++;
    }
    return (int)(negative ? 0u - value : value);
}

/* Identical to atoi: long and int are the same 32 bits. */
long atol(const char *text)
{
    return atoi(text);
}

/* The negation when it is not negative, else the argument: the most negative value comes back unchanged. */
int abs(int value)
{
    int negated = (int)(0u - (unsigned int)value);
    return negated >= 0 ? negated : value;
}

/* Identical to abs. */
long labs(long value)
{
    return abs((int)value);
}

/* Scaling steps never exceed this, and an exponent stops growing at the limit, so the time stays linear. */
static const int strtold_max_steps = 1024;
static const int strtold_exponent_limit = 4096;

/* Reads an exponent after its marker at *p: an optional sign and at least one decimal digit. Gives the signed
   value (magnitude at most the limit) and moves *p past it; without a digit it gives 0 and leaves *p alone, so
   the marker and any sign stay outside the number. */
static int strtold_exponent(const char **p)
{
    const char *q = *p + 1;
    bool negative = false;
    if (*q == '+' || *q == '-') {
        negative = *q == '-';
        q++;
    }
    if (!convert_is_decimal(*q))
        return 0;
    int value = 0;
    while (convert_is_decimal(*q)) {
        value = value * 10 + (*q - '0');
        if (value > strtold_exponent_limit)
            value = strtold_exponent_limit;
        q++;
    }
    *p = q;
    return negative ? -value : value;
}

static int strtold_steps(int exponent)
{
    int steps = exponent < 0 ? -exponent : exponent;
    return steps < strtold_max_steps ? steps : strtold_max_steps;
}

/* The decimal form from *p (a digit, or a '.' before a digit). Fraction digits past the 1024th are read but left
   out of the value: the number of divisions stops at 1024, so letting them into the accumulator would inflate
   the result by a power of ten for each. */
static long double strtold_decimal(const char **p)
{
    const char *q = *p;
    long double acc = 0.0L;
    while (convert_is_decimal(*q)) {
        acc = acc * 10.0L + (long double)(*q - '0');
        q++;
    }
    int fraction = 0;
    if (*q == '.') {
        q++;
        while (convert_is_decimal(*q)) {
            if (fraction < strtold_max_steps) {
                acc = acc * 10.0L + (long double)(*q - '0');
                fraction++;
            }
            q++;
        }
    }
    for (int i = 0; i < fraction; i++)
        acc = acc / 10.0L;
    if (*q == 'e' || *q == 'E') {
        int exponent = strtold_exponent(&q);
        int steps = strtold_steps(exponent);
        for (int i = 0; i < steps; i++)
            acc = exponent > 0 ? acc * 10.0L : acc / 10.0L;
    }
    *p = q;
    return acc;
}

/* The hexadecimal form from *p, just past the "0x"; false when it holds no hexadecimal digit at all. Fraction
   digits past the 1024th are read but left out of the value, as in the decimal form. */
static bool strtold_hexadecimal(const char **p, long double *result)
{
    const char *q = *p;
    long double acc = 0.0L;
    bool seen = false;
    for (int digit = convert_digit_value(*q); digit >= 0; digit = convert_digit_value(*++q)) {
        acc = acc * 16.0L + (long double)digit;
        seen = true;
    }
    int fraction = 0;
    if (*q == '.') {
        q++;
        for (int digit = convert_digit_value(*q); digit >= 0; digit = convert_digit_value(*++q)) {
            if (fraction < strtold_max_steps) {
                acc = acc * 16.0L + (long double)digit;
                fraction++;
            }
            seen = true;
        }
    }
    if (!seen)
        return false;
    for (int i = 0; i < fraction; i++)
        acc = acc * 0.0625L;
    if (*q == 'p' || *q == 'P') {
        int exponent = strtold_exponent(&q);
        int steps = strtold_steps(exponent);
        for (int i = 0; i < steps; i++)
            acc = exponent > 0 ? acc + acc : acc * 0.5L;
    }
    *p = q;
    *result = acc;
    return true;
}

/* Converts decimal or hexadecimal floating text, each step one x87 extended operation in a fixed order. */
long double strtold(const char *text, char **end)
{
    if (!text) {
        if (end)
            *end = nullptr;
        return 0.0L;
    }
    const char *p = text;
    while (strtold_is_space(*p))
        p++;
    long double sign = 1.0L;
    if (*p == '+' || *p == '-') {
        sign = *p == '-' ? -1.0L : 1.0L;
        p++;
    }
    long double acc = 0.0L;
    bool converted = false;
    if (p[0] == '0' && convert_is_x(p[1])) {
        p += 2;
        converted = strtold_hexadecimal(&p, &acc);
    } else if (convert_is_decimal(p[0]) || (p[0] == '.' && convert_is_decimal(p[1]))) {
        acc = strtold_decimal(&p);
        converted = true;
    }
    if (!converted) {
        if (end)
            *end = const_cast<char *>(text);
        return 0.0L;
    }
    if (end)
        *end = const_cast<char *>(p);
    return acc * sign;
}

/* strtold rounded once to double. */
double strtod(const char *text, char **end)
{
    /* The conversion stores the value to memory as a double: that store is the one rounding. */
    return (double)strtold(text, end);
}

}
