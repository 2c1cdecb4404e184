// The debug-information guest in C++: a virtual call through a template reaches a member that divides by zero.
struct Shape {
    virtual int sides() const = 0;
};

struct Polygon : Shape {
    int n;
    explicit Polygon(int count) : n(count) {}
    int sides() const override
    {
        volatile int zero = 0;
        return n / zero; // FAULT
    }
};

template <typename T>
int count_sides(const T &shape)
{
    return shape.sides(); // CALL Polygon::sides
}

int main()
{
    Polygon square(4);
    return count_sides<Shape>(square); // CALL count_sides<Shape>
}
