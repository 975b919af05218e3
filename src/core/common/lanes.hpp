// Lanes of float32 and float64 values, for formulas written once as
// templates over the lane type: one value (float, double), SSE2's F4 and D2
// (always present on x86-64; F4 is plain arrays elsewhere), and AVX's F8 and
// D4 in code built for AVX (common/isa.hpp). Every operation is the IEEE
// operation of each lane on its own, so a lane computes bit for bit what
// scalar code computes with the same operations in the same order (the
// build never contracts a multiply and an add). Comparisons give masks:
// bool for one value, lanes with all bits set or clear otherwise; they are
// false for a NaN operand, as in scalar code.
//
// Everything here lives in namespace ORVIK_ISA, so that each instruction
// set's build of these inline functions is a function of its own.
#pragma once

#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>

#include "common/isa.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__AVX__)
#include <immintrin.h>
#endif

namespace orvik::lanes {
inline namespace ORVIK_ISA {

// Per lane type V: Scalar, kWidth and splat(Scalar).
template <class V>
struct Traits;

template <class V>
inline constexpr int width = Traits<V>::kWidth;

// V with `a` in every lane.
template <class V>
inline V splat(typename Traits<V>::Scalar a) {
    return Traits<V>::splat(a);
}

// V from width<V> consecutive values.
template <class V>
inline V load(const typename Traits<V>::Scalar* p) {
    return Traits<V>::load(p);
}

// ------------------------------------------------------------ one value

template <std::floating_point T>
struct Traits<T> {
    using Scalar = T;
    static constexpr int kWidth = 1;
    static T splat(T a) { return a; }
    static T load(const T* p) { return *p; }
};

template <std::floating_point T>
inline bool lt(T a, T b) {
    return a < b;
}
template <std::floating_point T>
inline bool le(T a, T b) {
    return a <= b;
}
template <std::floating_point T>
inline bool gt(T a, T b) {
    return a > b;
}
template <std::floating_point T>
inline bool ge(T a, T b) {
    return a >= b;
}
template <std::floating_point T>
inline bool eq(T a, T b) {
    return a == b;
}
template <std::floating_point T>
inline bool is_nan(T a) {
    return std::isnan(a);
}
template <std::floating_point T>
inline T select(bool mask, T a, T b) {
    return mask ? a : b;
}
inline unsigned bits(bool mask) {
    return mask ? 1u : 0u;
}
template <std::floating_point T>
inline T abs(T a) {
    return std::fabs(a);
}
template <std::floating_point T>
inline T sqrt(T a) {
    return std::sqrt(a);
}
// `a` with its sign bit flipped where `b`'s is set.
inline double xor_sign(double a, double b) {
    const std::uint64_t sign = std::bit_cast<std::uint64_t>(b) & 0x8000000000000000u;
    return std::bit_cast<double>(std::bit_cast<std::uint64_t>(a) ^ sign);
}
// Lane k from p[k].
template <std::floating_point T>
inline T gather(const T* const* p, T) {
    return *p[0];
}
template <std::floating_point T>
inline void store(T* p, T a) {
    *p = a;
}
// Points (x, y, z) side by side from `q`, one per lane.
inline void load_xyz(const double* q, double& x, double& y, double& z) {
    x = q[0];
    y = q[1];
    z = q[2];
}

// ------------------------------------------------------------ registers

#if defined(__SSE2__)

// A register of lanes: SSE2's four floats (F4) and two doubles (D2), AVX's
// eight floats (F8) and four doubles (D4). GCC and clang compute the
// arithmetic and the comparisons of these vector types lane by lane, with
// the IEEE operations; they are the intrinsics' __m128, __m128d, __m256 and
// __m256d without the attributes that a template argument cannot carry.
template <class R>
struct Reg {
    R v;
};

namespace detail {
typedef float f32x4 __attribute__((vector_size(16)));
typedef double f64x2 __attribute__((vector_size(16)));
typedef float f32x8 __attribute__((vector_size(32)));
typedef double f64x4 __attribute__((vector_size(32)));
}  // namespace detail

using F4 = Reg<detail::f32x4>;
using D2 = Reg<detail::f64x2>;
#if defined(__AVX__)
using F8 = Reg<detail::f32x8>;
using D4 = Reg<detail::f64x4>;
#endif

namespace detail {
// Bitwise operations in the floating-point domain: integer instructions on
// floating-point data cost a bypass cycle on many processors. andnot(m, a)
// is ~m & a.
inline f32x4 and_(f32x4 a, f32x4 b) {
    return _mm_and_ps(a, b);
}
inline f32x4 or_(f32x4 a, f32x4 b) {
    return _mm_or_ps(a, b);
}
inline f32x4 xor_(f32x4 a, f32x4 b) {
    return _mm_xor_ps(a, b);
}
inline f32x4 andnot(f32x4 m, f32x4 a) {
    return _mm_andnot_ps(m, a);
}
inline f64x2 and_(f64x2 a, f64x2 b) {
    return _mm_and_pd(a, b);
}
inline f64x2 or_(f64x2 a, f64x2 b) {
    return _mm_or_pd(a, b);
}
inline f64x2 xor_(f64x2 a, f64x2 b) {
    return _mm_xor_pd(a, b);
}
inline f64x2 andnot(f64x2 m, f64x2 a) {
    return _mm_andnot_pd(m, a);
}
#if defined(__AVX__)
inline f32x8 and_(f32x8 a, f32x8 b) {
    return _mm256_and_ps(a, b);
}
inline f32x8 or_(f32x8 a, f32x8 b) {
    return _mm256_or_ps(a, b);
}
inline f32x8 xor_(f32x8 a, f32x8 b) {
    return _mm256_xor_ps(a, b);
}
inline f32x8 andnot(f32x8 m, f32x8 a) {
    return _mm256_andnot_ps(m, a);
}
inline f64x4 and_(f64x4 a, f64x4 b) {
    return _mm256_and_pd(a, b);
}
inline f64x4 or_(f64x4 a, f64x4 b) {
    return _mm256_or_pd(a, b);
}
inline f64x4 xor_(f64x4 a, f64x4 b) {
    return _mm256_xor_pd(a, b);
}
inline f64x4 andnot(f64x4 m, f64x4 a) {
    return _mm256_andnot_pd(m, a);
}
#endif
// -0 in every lane.
template <class R>
inline R negative_zero() {
    return Traits<Reg<R>>::splat(-0.0).v;
}
}  // namespace detail

template <class R>
inline Reg<R> operator+(Reg<R> a, Reg<R> b) {
    return {a.v + b.v};
}
template <class R>
inline Reg<R> operator-(Reg<R> a, Reg<R> b) {
    return {a.v - b.v};
}
template <class R>
inline Reg<R> operator*(Reg<R> a, Reg<R> b) {
    return {a.v * b.v};
}
template <class R>
inline Reg<R> operator/(Reg<R> a, Reg<R> b) {
    return {a.v / b.v};
}
template <class R>
inline Reg<R> lt(Reg<R> a, Reg<R> b) {
    return {(R)(a.v < b.v)};
}
template <class R>
inline Reg<R> le(Reg<R> a, Reg<R> b) {
    return {(R)(a.v <= b.v)};
}
template <class R>
inline Reg<R> gt(Reg<R> a, Reg<R> b) {
    return {(R)(a.v > b.v)};
}
template <class R>
inline Reg<R> ge(Reg<R> a, Reg<R> b) {
    return {(R)(a.v >= b.v)};
}
template <class R>
inline Reg<R> eq(Reg<R> a, Reg<R> b) {
    return {(R)(a.v == b.v)};
}
template <class R>
inline Reg<R> is_nan(Reg<R> a) {
    return {(R)(a.v != a.v)};
}
template <class R>
inline Reg<R> operator&(Reg<R> a, Reg<R> b) {
    return {detail::and_(a.v, b.v)};
}
template <class R>
inline Reg<R> operator|(Reg<R> a, Reg<R> b) {
    return {detail::or_(a.v, b.v)};
}
// mask ? a : b, bit for bit.
template <class R>
inline Reg<R> select(Reg<R> mask, Reg<R> a, Reg<R> b) {
    return {detail::or_(detail::and_(mask.v, a.v), detail::andnot(mask.v, b.v))};
}
template <class R>
inline Reg<R> abs(Reg<R> a) {
    return {detail::andnot(detail::negative_zero<R>(), a.v)};
}
template <class R>
inline Reg<R> xor_sign(Reg<R> a, Reg<R> b) {
    return {detail::xor_(a.v, detail::and_(b.v, detail::negative_zero<R>()))};
}

// What differs between the registers: broadcasts, loads and stores, the
// masks' bits, square roots, and moves between lanes.
template <>
struct Traits<F4> {
    using Scalar = float;
    static constexpr int kWidth = 4;
    static F4 splat(float a) { return {_mm_set1_ps(a)}; }
    static F4 load(const float* p) { return {_mm_loadu_ps(p)}; }
};
template <>
struct Traits<D2> {
    using Scalar = double;
    static constexpr int kWidth = 2;
    static D2 splat(double a) { return {_mm_set1_pd(a)}; }
    static D2 load(const double* p) { return {_mm_loadu_pd(p)}; }
};

inline F4 load(const float* p) {
    return Traits<F4>::load(p);
}
inline F4 splat(float a) {
    return Traits<F4>::splat(a);
}
inline F4 set(float a, float b, float c, float d) {
    return {_mm_setr_ps(a, b, c, d)};
}
inline void store(float* p, F4 a) {
    _mm_storeu_ps(p, a.v);
}
inline void store(double* p, D2 a) {
    _mm_storeu_pd(p, a.v);
}
// Bit k set when lane k of the mask is set.
inline unsigned bits(F4 mask) {
    return static_cast<unsigned>(_mm_movemask_ps(mask.v));
}
inline unsigned bits(D2 mask) {
    return static_cast<unsigned>(_mm_movemask_pd(mask.v));
}
inline D2 sqrt(D2 a) {
    return {_mm_sqrt_pd(a.v)};
}
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

template <>
struct Traits<F8> {
    using Scalar = float;
    static constexpr int kWidth = 8;
    static F8 splat(float a) { return {_mm256_set1_ps(a)}; }
    static F8 load(const float* p) { return {_mm256_loadu_ps(p)}; }
};
template <>
struct Traits<D4> {
    using Scalar = double;
    static constexpr int kWidth = 4;
    static D4 splat(double a) { return {_mm256_set1_pd(a)}; }
    static D4 load(const double* p) { return {_mm256_loadu_pd(p)}; }
};

inline void store(float* p, F8 a) {
    _mm256_storeu_ps(p, a.v);
}
inline void store(double* p, D4 a) {
    _mm256_storeu_pd(p, a.v);
}
inline unsigned bits(F8 mask) {
    return static_cast<unsigned>(_mm256_movemask_ps(mask.v));
}
inline unsigned bits(D4 mask) {
    return static_cast<unsigned>(_mm256_movemask_pd(mask.v));
}
inline D4 sqrt(D4 a) {
    return {_mm256_sqrt_pd(a.v)};
}
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

#else  // no SSE2: four plain floats

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

// The widest lanes of this build: AVX's in a kernel built for AVX or AVX2,
// SSE2's in x86-64's baseline, one double or four plain floats elsewhere.
#if defined(__AVX__)
using Doubles = D4;
using Floats = F8;
#elif defined(__SSE2__)
using Doubles = D2;
using Floats = F4;
#else
using Doubles = double;
using Floats = F4;
#endif

}  // namespace ORVIK_ISA
}  // namespace orvik::lanes
