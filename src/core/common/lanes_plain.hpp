// Four float32 lanes as plain arrays, where the target has no SSE2: the
// operations of common/lanes.hpp's F4, one lane at a time. Included by
// common/lanes.hpp.
#pragma once

#include <bit>
#include <cstdint>

#include "common/isa.hpp"

namespace orvik::lanes {
inline namespace ORVIK_ISA {

template <class V>
struct Traits;

struct F4 {
    float v[4];
};

inline F4 load(const float* p) {
    return {{p[0], p[1], p[2], p[3]}};
}
inline void store(float* p, F4 a) {
    for (int k = 0; k < 4; ++k) p[k] = a.v[k];
}
inline F4 splat(float a) {
    return {{a, a, a, a}};
}
inline F4 set(float a, float b, float c, float d) {
    return {{a, b, c, d}};
}

template <>
struct Traits<F4> {
    using Scalar = float;
    static constexpr int kWidth = 4;
    static F4 splat(float a) { return lanes::splat(a); }
    static F4 load(const float* p) { return lanes::load(p); }
};

namespace detail {
template <class Op>
inline F4 each(F4 a, F4 b, Op op) {
    F4 r;
    for (int k = 0; k < 4; ++k) r.v[k] = op(a.v[k], b.v[k]);
    return r;
}
inline float mask_of(bool t) {
    return std::bit_cast<float>(t ? 0xFFFFFFFFu : 0u);
}
inline std::uint32_t raw(float f) {
    return std::bit_cast<std::uint32_t>(f);
}
}  // namespace detail

inline F4 operator+(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return x + y; });
}
inline F4 operator-(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return x - y; });
}
inline F4 operator*(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return x * y; });
}
inline F4 operator/(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return x / y; });
}
inline F4 le(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return detail::mask_of(x <= y); });
}
inline F4 ge(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return detail::mask_of(x >= y); });
}
inline F4 lt(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) { return detail::mask_of(x < y); });
}
inline F4 operator&(F4 a, F4 b) {
    return detail::each(a, b, [](float x, float y) {
        return std::bit_cast<float>(detail::raw(x) & detail::raw(y));
    });
}
inline F4 select(F4 mask, F4 a, F4 b) {
    F4 r;
    for (int k = 0; k < 4; ++k) r.v[k] = detail::raw(mask.v[k]) ? a.v[k] : b.v[k];
    return r;
}
inline unsigned bits(F4 mask) {
    unsigned m = 0;
    for (int k = 0; k < 4; ++k) m |= (detail::raw(mask.v[k]) >> 31) << k;
    return m;
}
inline void transpose(F4& a, F4& b, F4& c, F4& d) {
    F4* rows[4] = {&a, &b, &c, &d};
    float m[4][4];
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k) m[r][k] = rows[r]->v[k];
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k) rows[r]->v[k] = m[k][r];
}
inline void splat_box(const float* box, F4* out) {
    for (int k = 0; k < 6; ++k) out[k] = splat(box[k]);
}

}  // namespace ORVIK_ISA
}  // namespace orvik::lanes
