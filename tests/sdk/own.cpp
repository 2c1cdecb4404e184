/* A command of one's own, in C++: classes, virtual and pure virtual functions, templates, lambdas, new and new[],
 * a static local with a destructor, and the compiler's freestanding headers. Prints "own: c++" and exits 0 when
 * every answer is right. */
#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string.h>
#include <tavik/records.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

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
    bool right = p.first == 4 && p.second == 56 && next() == 2 && none == nullptr;
    delete shape;
    delete[] many;
    const char *text = right ? "own: c++\n" : "own: wrong\n";
    write(1, text, strlen(text));
    return right ? 0 : 1;
}
