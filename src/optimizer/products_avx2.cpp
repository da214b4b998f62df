#define PRODUCTS_ISA avx2
#define PRODUCTS_WIDTH 4
#include "optimizer/products_loops.hpp"
