// The error bounds of the C library's atan2, from which the fast atan2 takes
// the bands where it defers to the library.
//
// glibc's atan2 (2.35 and later) returns the value of the first stage of its
// algorithm, a double-double rounded by one addition, and keeps the error
// bounds derived for that stage. With u = min(|x|, |y|) / max(|x|, |y|),
// the library rounds the exact angle correctly wherever it lies farther than
// the bound from a rounding midpoint. The bounds change with u at the table
// steps of the library, which lie near 1/4, 1/2 and 3/4 rather than on them.
#pragma once

namespace zorv::sim::atan2_bounds {

// Below this u the library evaluates a series, above it a table and a series.
inline constexpr double table_from = 1.0 / 16;

// x > 0 and |y| < |x| ("right"), u below table_from: the bound is this
// times u.
inline constexpr double right_series_per_u = 9.377e-19;

// A bound that holds from the previous piece's u up to below_u.
struct Piece {
    double below_u;
    double bound;
};

// Right, from table_from on: the bound is piece.bound times |angle|.
inline constexpr Piece right_table[] = {
    {0.25, 1.301e-17}, {0.5, 4.008e-18}, {0.75, 1.562e-18}, {2.0, 1.009e-18}};

// Every other octant (x <= 0, or |x| <= |y|): absolute bounds.
inline constexpr double other_series = 8.584e-20;
inline constexpr Piece other_table[] = {{0.5, 1.416e-18}, {2.0, 1.081e-18}};

}  // namespace zorv::sim::atan2_bounds
