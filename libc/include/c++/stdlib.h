// <stdlib.h> in a tavik C++ program: the library's own header (the compiler's C++ wrapper would name every function
// of a hosted C library), with its names in std as <cstdlib> puts them.
#ifndef TAVIK_CXX_STDLIB_H
#define TAVIK_CXX_STDLIB_H

#include "cstdlib"

#endif
