// The containment test of a point in the simplices of a leaf, all at once:
// the simplices in the lanes of one register each field. Shared by the
// point query and the packet kernel; in namespace ORVIK_ISA like the lanes
// it uses (common/isa.hpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "common/lanes.hpp"
#include "model/mesh_model.hpp"

namespace orvik {

// Barycentric tolerance: the float32 values nearest -0.0001 and 1.0001.
inline constexpr float kLowWeight = -0.0001f;
inline constexpr float kHighSum = 1.0001f;
static_assert(std::bit_cast<std::uint32_t>(kLowWeight) == 0xB8D1B717u);
static_assert(std::bit_cast<std::uint32_t>(kHighSum) == 0x3F800347u);

// The barycentric weights of a located point.
struct Weights {
    float w0, w1, w2, w3;
};

namespace leaf_test {
inline namespace ORVIK_ISA {

// The simplices of one leaf, one per lane, field by field. A leaf of fewer
// than four repeats its last simplex in the spare lanes, whose results the
// caller drops, so no record past the leaf is read.
struct LeafLanes {
    lanes::F4 ox, oy, oz;
    lanes::F4 i00, i10, i20, i01, i11, i21, i02, i12, i22;
};

[[gnu::always_inline]] inline LeafLanes load_leaf(const SimplexRecord* simplices,
                                                  std::uint32_t first, std::uint32_t count) {
    const std::uint32_t last = first + count - 1;
    const float* a = reinterpret_cast<const float*>(simplices + first);
    const float* b = reinterpret_cast<const float*>(simplices + std::min(first + 1, last));
    const float* c = reinterpret_cast<const float*>(simplices + std::min(first + 2, last));
    const float* d = reinterpret_cast<const float*>(simplices + last);
    // A record is 12 floats: origin xyz and the inverse column by column,
    // read as three quads (ox oy oz i00), (i10 i20 i01 i11), (i21 i02 i12 i22).
    LeafLanes l{lanes::load(a),     lanes::load(b),     lanes::load(c),     lanes::load(d),
                lanes::load(a + 4), lanes::load(b + 4), lanes::load(c + 4), lanes::load(d + 4),
                lanes::load(a + 8), lanes::load(b + 8), lanes::load(c + 8), lanes::load(d + 8)};
    lanes::transpose(l.ox, l.oy, l.oz, l.i00);
    lanes::transpose(l.i10, l.i20, l.i01, l.i11);
    lanes::transpose(l.i21, l.i02, l.i12, l.i22);
    return l;
}

// The containment test of the point in every simplex of the leaf at once:
// the weights and comparisons of the scalar test, lane by lane. Returns the
// first simplex that contains the point (its offset in the leaf) with its
// weights, or `count` when none does.
[[gnu::always_inline]] inline std::uint32_t first_containing(const LeafLanes& l,
                                                             std::uint32_t count, float x, float y,
                                                             float z, Weights& w) {
    using lanes::F4;
    const F4 dx = lanes::splat(x) - l.ox;
    const F4 dy = lanes::splat(y) - l.oy;
    const F4 dz = lanes::splat(z) - l.oz;
    const F4 w0 = (l.i00 * dx + l.i01 * dy) + l.i02 * dz;
    const F4 w1 = (l.i10 * dx + l.i11 * dy) + l.i12 * dz;
    const F4 w2 = (l.i20 * dx + l.i21 * dy) + l.i22 * dz;
    const F4 low = lanes::splat(kLowWeight);
    const F4 inside = lanes::ge(w2, low) & lanes::ge(w0, low) & lanes::ge(w1, low) &
                      lanes::le((w1 + w0) + w2, lanes::splat(kHighSum));
    const unsigned hits = lanes::bits(inside) & ((1u << count) - 1u);
    if (hits == 0) return count;
    const unsigned k = static_cast<unsigned>(std::countr_zero(hits));
    w.w0 = lanes::lane(w0, k);
    w.w1 = lanes::lane(w1, k);
    w.w2 = lanes::lane(w2, k);
    return k;
}

}  // namespace ORVIK_ISA
}  // namespace leaf_test
}  // namespace orvik
