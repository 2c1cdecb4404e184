// <math.h> in a tavik C++ program: the SDK's own header (the compiler's C++ wrapper would name every function of a
// hosted math library).
#ifndef TAVIK_CXX_MATH_H
#define TAVIK_CXX_MATH_H

#include "../math.h"

#endif
