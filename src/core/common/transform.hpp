// A world-to-local affine transform: a 4x4 float32 matrix, row-major, that
// row vectors [x y z 1] multiply from the left, and its inverse. Applied
// by code written once for one point
// (float) or for lanes of points (common/lanes.hpp): each lane computes
// what one point computes, every product and sum rounded on its own in
// this order.
#pragma once

#include <array>

#include "common/lanes.hpp"

namespace orvik {

// The inverse of the row-major 4x4 array `a` by cofactors, in float32, into
// `out` (row-major). False when the determinant is exactly zero.
bool invert4(const std::array<float, 16>& a, std::array<float, 16>& out);

// (x, y, z) replaced by their local coordinates under `t`.
template <class V>
inline void to_local(const std::array<float, 16>& t, V& x, V& y, V& z) {
    using lanes::splat;
    const V px = x, py = y, pz = z;
    x = ((px * splat<V>(t[0]) + py * splat<V>(t[4])) + pz * splat<V>(t[8])) + splat<V>(t[12]);
    y = ((px * splat<V>(t[1]) + py * splat<V>(t[5])) + pz * splat<V>(t[9])) + splat<V>(t[13]);
    z = ((px * splat<V>(t[2]) + py * splat<V>(t[6])) + pz * splat<V>(t[10])) + splat<V>(t[14]);
}

}  // namespace orvik
