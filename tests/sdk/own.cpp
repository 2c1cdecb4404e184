/* A command of one's own, in C++: classes, virtual and pure virtual functions, templates, lambdas, new and new[],
 * a static local with a destructor, and the compiler's freestanding headers. Prints "own: c++" and exits 0 when
 * every answer is right. */
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <tavik/records.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

#if !defined(__tavik__) || !defined(__i386__) || defined(__linux__) || defined(__unix__)
#error "a tavik build says __tavik__ and __i386__, and neither Linux nor Unix"
#endif

TAVIK_COMMAND_RECORD("Show that C++ works.", "own_cxx");
TAVIK_PACKAGE_RECORD("own", "1");

namespace {

struct Shape {
    virtual ~Shape() = default;
    virtual int corners() const = 0;
};

struct Square : Shape {
    int corners() const override { return 4; }
};

template <typename T>
T twice(T v)
{
    return v + v;
}

struct Counter {
    int n = 0;
    ~Counter() { n = -1; }
};

int next()
{
    static Counter counter;  // made at first use; its destructor is registered, never run
    return ++counter.n;
}

}  // namespace

int main()
{
    static_assert(std::is_same_v<std::int32_t, int> && CHAR_BIT == 8 && sizeof(std::size_t) == 4);
    Shape *shape = new Square;
    int *many = new int[8];
    for (int i = 0; i < 8; ++i)
        many[i] = twice(i);
    auto sum = [many](int n) {
        int s = 0;
        for (int i = 0; i < n; ++i)
            s += many[i];
        return s;
    };
    std::pair<int, int> p = std::make_pair(shape->corners(), sum(8));
    int *none = new (std::nothrow) int[1u << 28];  // more than the heap holds
    next();
    // The C headers' names in std, and std::sort over an array.
    std::array<int, 5> order{5, 3, 9, 1, 7};
    std::sort(order.begin(), order.end());
    char digits[8];
    std::snprintf(digits, sizeof digits, "%d%d%d", order[0], order[2], order[4]);
    bool sorted = std::strcmp(digits, "159") == 0 && std::abs(-3) == 3 && std::atoi("42") == 42 &&
                  std::numeric_limits<unsigned>::max() == UINT_MAX && std::max({2, 8, 4}) == 8;
    bool right = p.first == 4 && p.second == 56 && next() == 2 && none == nullptr && sorted;
    delete shape;
    delete[] many;
    const char *text = right ? "own: c++\n" : "own: wrong\n";
    write(1, text, strlen(text));
    return right ? 0 : 1;
}
