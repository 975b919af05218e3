// Bilinear interpolation on an m x n grid of Cartesian nodes that may be
// rotated, sheared or gently curved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "common/strided.hpp"

namespace orvik {

struct GridSample {
    double value;
    bool outside;
};

// One node: its coordinates and value side by side, so that a cell's four
// nodes come from two cache lines.
struct GridNode {
    double x;
    double y;
    double value;
};

struct StructuredGrid {
    std::size_t m = 0;  // rows (first axis)
    std::size_t n = 0;  // columns (second axis)
    // Row-major copy of the caller's x, y and values arrays, node by node.
    std::vector<GridNode> nodes;
    // Least-squares affine map from (x, y) to fractional (row, column): only
    // picks the cell where a search starts.
    double centroid[2] = {0.0, 0.0};
    double index_centre[2] = {0.0, 0.0};
    double index_gradient[4] = {0.0, 0.0, 0.0, 0.0};  // di/dx, dj/dx, di/dy, dj/dy

    // Copies the three arrays, then checks shapes, size and collinearity.
    static Result<StructuredGrid> build(const StridedView<double, 2>& x,
                                        const StridedView<double, 2>& y,
                                        const StridedView<double, 2>& values);

    // Never fails and allocates nothing; safe on any thread.
    static GridSample query(const StructuredGrid& grid, double x, double y, bool clamp);

    // values[k] = query(x[k], y[k], clamp).value; x, y and values have equal
    // lengths. The same values as one query after another, several points at
    // a time.
    static void query_values(const StructuredGrid& grid, const StridedView<double, 1>& x,
                             const StridedView<double, 1>& y, bool clamp,
                             const MutableStridedView<double, 1>& values);

    // out_values[k], out_outside[k] = query(x[k], y[k], clamp); x and y have
    // equal length. False when `stop` ended the loop early.
    static bool query_many(const StructuredGrid& grid, const StridedView<double, 1>& x,
                           const StridedView<double, 1>& y, bool clamp, double* out_values,
                           std::uint8_t* out_outside, const Interrupt& stop = {});
};

}  // namespace orvik
