// Four float32 lanes: SSE2 on x86-64 (always present there), plain arrays
// elsewhere. Every operation is the IEEE single-precision operation of each
// lane on its own, so a lane computes bit for bit what scalar code computes
// with the same operations in the same order (the build never contracts a
// multiply and an add). Masks are lanes with all bits set or clear.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvik::lanes {

#if defined(__SSE2__)

struct F4 {
    __m128 v;
};

inline F4 load(const float* p) {
    return {_mm_loadu_ps(p)};
}
inline void store(float* p, F4 a) {
    _mm_storeu_ps(p, a.v);
}
inline F4 splat(float a) {
    return {_mm_set1_ps(a)};
}
inline F4 set(float a, float b, float c, float d) {
    return {_mm_setr_ps(a, b, c, d)};
}

inline F4 operator+(F4 a, F4 b) {
    return {_mm_add_ps(a.v, b.v)};
}
inline F4 operator-(F4 a, F4 b) {
    return {_mm_sub_ps(a.v, b.v)};
}
inline F4 operator*(F4 a, F4 b) {
    return {_mm_mul_ps(a.v, b.v)};
}
inline F4 operator/(F4 a, F4 b) {
    return {_mm_div_ps(a.v, b.v)};
}

// Comparisons are false for a NaN operand, as in scalar code.
inline F4 le(F4 a, F4 b) {
    return {_mm_cmple_ps(a.v, b.v)};
}
inline F4 ge(F4 a, F4 b) {
    return {_mm_cmpge_ps(a.v, b.v)};
}
inline F4 lt(F4 a, F4 b) {
    return {_mm_cmplt_ps(a.v, b.v)};
}
inline F4 operator&(F4 a, F4 b) {
    return {_mm_and_ps(a.v, b.v)};
}
// mask ? a : b, bit for bit.
inline F4 select(F4 mask, F4 a, F4 b) {
    return {_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))};
}
// Bit k set when lane k of the mask is set.
inline unsigned bits(F4 mask) {
    return static_cast<unsigned>(_mm_movemask_ps(mask.v));
}

// Rows a, b, c, d become columns.
inline void transpose(F4& a, F4& b, F4& c, F4& d) {
    _MM_TRANSPOSE4_PS(a.v, b.v, c.v, d.v);
}

#else

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

#endif

// Lane k of a.
inline float lane(F4 a, unsigned k) {
    alignas(16) float v[4];
    store(v, a);
    return v[k];
}

}  // namespace orvik::lanes
