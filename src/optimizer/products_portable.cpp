#define PRODUCTS_ISA portable
#include "optimizer/products_loops.hpp"
