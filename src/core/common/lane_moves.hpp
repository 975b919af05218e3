// Moves between lanes: gathers, points read side by side, transposes and
// shuffles of float lanes, and broadcasts of a box's bounds. Included by
// common/lanes.hpp, whose lane types they move.
#pragma once

#include "common/lanes.hpp"

namespace orvik::lanes {
inline namespace ORVIK_ISA {

#if defined(__SSE2__)

// Lane k from p[k]: straight from memory, as building the lanes on the
// stack would stall on store forwarding.
inline D2 gather(const double* const* p, D2) {
    return {_mm_loadh_pd(_mm_load_sd(p[0]), p[1])};
}
// Two points (x, y, z) side by side: x0 y0 | z0 x1 | y1 z1.
inline void load_xyz(const double* q, D2& x, D2& y, D2& z) {
    const __m128d a = _mm_loadu_pd(q), b = _mm_loadu_pd(q + 2), c = _mm_loadu_pd(q + 4);
    x = {_mm_shuffle_pd(a, b, 2)};
    y = {_mm_shuffle_pd(a, c, 1)};
    z = {_mm_shuffle_pd(b, c, 2)};
}

// Rows a, b, c, d become columns.
inline void transpose(F4& a, F4& b, F4& c, F4& d) {
    _MM_TRANSPOSE4_PS(a.v, b.v, c.v, d.v);
}
// _mm_shuffle_ps and the unpacks.
template <int M>
inline F4 shuffle(F4 a, F4 b) {
    return {_mm_shuffle_ps(a.v, b.v, M)};
}
inline F4 unpacklo(F4 a, F4 b) {
    return {_mm_unpacklo_ps(a.v, b.v)};
}
inline F4 unpackhi(F4 a, F4 b) {
    return {_mm_unpackhi_ps(a.v, b.v)};
}
// The six floats of a box (min xyz, max xyz), each in every lane: a
// shuffle of two loads instead of six broadcasts.
inline void splat_box(const float* box, F4* out) {
    const __m128 a = _mm_loadu_ps(box);      // min x, min y, min z, max x
    const __m128 b = _mm_loadu_ps(box + 2);  // min z, max x, max y, max z
    out[0] = {_mm_shuffle_ps(a, a, 0x00)};
    out[1] = {_mm_shuffle_ps(a, a, 0x55)};
    out[2] = {_mm_shuffle_ps(a, a, 0xAA)};
    out[3] = {_mm_shuffle_ps(a, a, 0xFF)};
    out[4] = {_mm_shuffle_ps(b, b, 0xAA)};
    out[5] = {_mm_shuffle_ps(b, b, 0xFF)};
}

#if defined(__AVX__)

inline D4 gather(const double* const* p, D4) {
    const __m128d lo = _mm_loadh_pd(_mm_load_sd(p[0]), p[1]);
    const __m128d hi = _mm_loadh_pd(_mm_load_sd(p[2]), p[3]);
    return {_mm256_set_m128d(hi, lo)};
}
// Four points (x, y, z) side by side: x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3.
inline void load_xyz(const double* q, D4& x, D4& y, D4& z) {
    const __m256d a = _mm256_loadu_pd(q), b = _mm256_loadu_pd(q + 4);
    const __m256d c = _mm256_loadu_pd(q + 8);
    const __m256d xy = _mm256_blend_pd(a, b, 0xC);          // x0 y0 x2 y2
    const __m256d zx = _mm256_permute2f128_pd(a, c, 0x21);  // z0 x1 z2 x3
    const __m256d yz = _mm256_blend_pd(b, c, 0xC);          // y1 z1 y3 z3
    x = {_mm256_shuffle_pd(xy, zx, 0xA)};
    y = {_mm256_shuffle_pd(xy, yz, 0x5)};
    z = {_mm256_shuffle_pd(zx, yz, 0xA)};
}

// The shuffle and the unpacks of each 128-bit half, as F4's.
template <int M>
inline F8 shuffle(F8 a, F8 b) {
    return {_mm256_shuffle_ps(a.v, b.v, M)};
}
inline F8 unpacklo(F8 a, F8 b) {
    return {_mm256_unpacklo_ps(a.v, b.v)};
}
inline F8 unpackhi(F8 a, F8 b) {
    return {_mm256_unpackhi_ps(a.v, b.v)};
}
inline void splat_box(const float* box, F8* out) {
    for (int k = 0; k < 6; ++k) out[k] = {_mm256_broadcast_ss(box + k)};
}

#endif  // __AVX__

#endif  // __SSE2__

// Lane k of a.
inline float lane(F4 a, unsigned k) {
    alignas(16) float v[4];
    store(v, a);
    return v[k];
}

// Lane k from p[k], for any lane type.
template <class V>
inline V gather(const typename Traits<V>::Scalar* const* p) {
    return gather(p, V{});
}

}  // namespace ORVIK_ISA
}  // namespace orvik::lanes
