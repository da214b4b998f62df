#define PRODUCTS_ISA avx512
#define PRODUCTS_WIDTH 8
#include "optimizer/products_loops.hpp"
