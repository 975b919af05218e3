// The qualities that grid and columns models keep at their nodes, and the
// linear step by which both interpolate them. A node holds six float32
// values, rho, vp, vs, 1/qp, 1/qs, alpha: the quality factors as their
// reciprocals, which is what interpolation reads (Q interpolates
// harmonically, as in a mesh model, and a reciprocal formed once at the
// build has the bits of one formed at every query).
#pragma once

#include <cmath>
#include <cstddef>

#include "common/lanes.hpp"
#include "quality/quality.hpp"

namespace orvik {

inline constexpr std::size_t kNodeValues = 6;

// A quality given as rho, vp, vs, qp, qs, alpha, in the form nodes keep.
inline void store_node(const float (&q)[kNodeValues], float* node) {
    node[0] = q[0];
    node[1] = q[1];
    node[2] = q[2];
    node[3] = 1.0f / q[3];
    node[4] = 1.0f / q[4];
    node[5] = q[5];
}

// A node with a NaN among its values is a hole: no cell or layer that
// touches it answers, so models behind show through.
inline bool is_hole(const float* node) {
    for (std::size_t k = 0; k < kNodeValues; ++k) {
        if (std::isnan(node[k])) return true;
    }
    return false;
}

// The six values of a node, or of a point between nodes, one per lane.
struct NodeLanes {
    lanes::F4 lo;  // rho vp vs 1/qp
    lanes::F4 hi;  // 1/qs alpha, two spare lanes

    static NodeLanes load(const float* node) {
        return {lanes::load(node), lanes::set(node[4], node[5], 0.0f, 0.0f)};
    }

    // Whether some value is NaN: a hole among the nodes, or IEEE arithmetic
    // (0 times an infinite value) as in a mesh model.
    bool has_nan() const {
        return lanes::bits(lanes::le(lo, lo)) != 0xFu || (lanes::bits(lanes::le(hi, hi)) & 3u) != 3u;
    }

    // The quality: the values, and the quality factors as reciprocals of theirs.
    Quality quality() const {
        alignas(16) float l[4], h[4];
        lanes::store(l, lo);
        lanes::store(h, hi);
        return Quality{l[0], l[1], l[2], 1.0f / l[3], 1.0f / h[0], h[1]};
    }
};

// The value at t in [0, 1] between a (t = 0) and b (t = 1), each lane on its
// own in float32: a + t (b - a) up to t = 1/2, b - (1 - t)(b - a) above
// (1 - t is exact there), so that both nodes come out exactly and equal
// values stay what they are.
inline NodeLanes lerp(const NodeLanes& a, const NodeLanes& b, float t) {
    if (t <= 0.5f) {
        const lanes::F4 s = lanes::splat(t);
        return {a.lo + s * (b.lo - a.lo), a.hi + s * (b.hi - a.hi)};
    }
    const lanes::F4 s = lanes::splat(1.0f - t);
    return {b.lo - s * (b.lo - a.lo), b.hi - s * (b.hi - a.hi)};
}

}  // namespace orvik
