#define PRODUCTS_ISA avx512
#include "optimizer/products_loops.hpp"
