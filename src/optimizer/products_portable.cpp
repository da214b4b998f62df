#define PRODUCTS_ISA portable
#define PRODUCTS_WIDTH 2
#include "optimizer/products_loops.hpp"
