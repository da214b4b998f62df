#define PRODUCTS_ISA avx2
#include "optimizer/products_loops.hpp"
