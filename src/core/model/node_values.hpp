// The qualities that grid and columns models keep at their nodes, and the
// linear step by which both interpolate them. A node holds the columns of a
// quality as float32, rho, vp, vs, 1/qp, 1/qs, alpha: the quality factors as
// their reciprocals, which is what interpolation reads (Q interpolates
// harmonically, as in a mesh model, and a reciprocal formed once at the
// build has the bits of one formed at every query).
#pragma once

#include <cmath>
#include <cstddef>

#include "common/lanes.hpp"
#include "quality/quality.hpp"

namespace orvik {

inline constexpr std::size_t kNodeValues = kQualityColumns;

// A quality given in its row form, in the form nodes keep.
inline void store_node(const float (&q)[kNodeValues], float* node) {
    for (std::size_t k = 0; k < kNodeValues; ++k) node[k] = q[k];
    node[column::qp] = 1.0f / q[column::qp];
    node[column::qs] = 1.0f / q[column::qs];
}

// A node with a NaN among its values is a hole: no cell or layer that
// touches it answers, so models behind show through.
inline bool is_hole(const float* node) {
    for (std::size_t k = 0; k < kNodeValues; ++k) {
        if (std::isnan(node[k])) return true;
    }
    return false;
}

// The values of a node, or of a point between nodes, one per lane.
static_assert(kNodeValues == 6 && column::qp == 3 && column::qs == 4,
              "NodeLanes keeps a node in one four-lane register and two lanes of another");
struct NodeLanes {
    lanes::F4 lo;  // rho vp vs 1/qp
    lanes::F4 hi;  // 1/qs alpha, two spare lanes

    static NodeLanes load(const float* node) {
#if defined(__SSE2__)
        // The two last values in one load (__m64 may alias the floats).
        const __m128 hi = _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(node + 4));
        return {lanes::load(node), lanes::F4{hi}};
#else
        return {lanes::load(node), lanes::set(node[4], node[5], 0.0f, 0.0f)};
#endif
    }

    // Whether some value is NaN: a hole among the nodes, or IEEE arithmetic
    // (0 times an infinite value) as in a mesh model.
    bool has_nan() const {
        return lanes::bits(lanes::le(lo, lo)) != 0xFu ||
               (lanes::bits(lanes::le(hi, hi)) & 3u) != 3u;
    }

    // The quality: the values, and the quality factors as reciprocals of theirs.
    Quality quality() const {
        const lanes::F4 one = lanes::splat(1.0f);
        // Lane 3 of `lo` and lane 0 of `hi` hold 1/qp and 1/qs.
        const lanes::F4 last = lanes::lt(lanes::splat(0.5f), lanes::set(0, 0, 0, 1));
        const lanes::F4 first = lanes::lt(lanes::splat(0.5f), lanes::set(1, 0, 0, 0));
        alignas(16) float l[4], h[4];
        lanes::store(l, lanes::select(last, one / lo, lo));
        lanes::store(h, lanes::select(first, one / hi, hi));
        return Quality{l[0], l[1], l[2], l[3], h[0], h[1]};
    }
};

// The place of a point between two nodes, t in [0, 1], as the linear step
// below reads it.
struct LerpStep {
    lanes::F4 t;
    bool at_upper;  // t is 1

    static LerpStep at(float t) { return {lanes::splat(t), t == 1.0f}; }
    // For a t known to lie below 1.
    static LerpStep below_upper(float t) { return {lanes::splat(t), false}; }
};

// The value at t between a (t = 0) and b (t = 1), each lane on its own in
// float32: a + t (b - a), and b itself at t = 1, so that both nodes come
// out exactly and equal values stay what they are.
inline lanes::F4 lerp(lanes::F4 a, lanes::F4 b, const LerpStep& s) {
    return s.at_upper ? b : a + s.t * (b - a);
}

inline NodeLanes lerp(const NodeLanes& a, const NodeLanes& b, const LerpStep& s) {
    return {lerp(a.lo, b.lo, s), lerp(a.hi, b.hi, s)};
}

}  // namespace orvik
