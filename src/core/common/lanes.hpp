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
// Both masks, for code written once over one value and lanes alike (the
// lanes' masks combine with &).
inline bool both(bool a, bool b) {
    return a && b;
}
template <class M>
inline M both(M a, M b) {
    return a & b;
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

// What differs between the registers: Scalar and kWidth; broadcasts,
// loads and stores, the masks' bits and square roots; and the bitwise
// operations, in the floating-point domain (integer instructions on
// floating-point data cost a bypass cycle on many processors), andnot(m, a)
// being ~m & a.
template <>
struct Traits<F4> {
    using Scalar = float;
    using R = detail::f32x4;
    static constexpr int kWidth = 4;
    static F4 splat(float a) { return {_mm_set1_ps(a)}; }
    static F4 load(const float* p) { return {_mm_loadu_ps(p)}; }
    static void store(float* p, R a) { _mm_storeu_ps(p, a); }
    static unsigned bits(R m) { return static_cast<unsigned>(_mm_movemask_ps(m)); }
    static R sqrt(R a) { return _mm_sqrt_ps(a); }
    static R and_(R a, R b) { return _mm_and_ps(a, b); }
    static R or_(R a, R b) { return _mm_or_ps(a, b); }
    static R xor_(R a, R b) { return _mm_xor_ps(a, b); }
    static R andnot(R m, R a) { return _mm_andnot_ps(m, a); }
};
template <>
struct Traits<D2> {
    using Scalar = double;
    using R = detail::f64x2;
    static constexpr int kWidth = 2;
    static D2 splat(double a) { return {_mm_set1_pd(a)}; }
    static D2 load(const double* p) { return {_mm_loadu_pd(p)}; }
    static void store(double* p, R a) { _mm_storeu_pd(p, a); }
    static unsigned bits(R m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static R sqrt(R a) { return _mm_sqrt_pd(a); }
    static R and_(R a, R b) { return _mm_and_pd(a, b); }
    static R or_(R a, R b) { return _mm_or_pd(a, b); }
    static R xor_(R a, R b) { return _mm_xor_pd(a, b); }
    static R andnot(R m, R a) { return _mm_andnot_pd(m, a); }
};
#if defined(__AVX__)
template <>
struct Traits<F8> {
    using Scalar = float;
    using R = detail::f32x8;
    static constexpr int kWidth = 8;
    static F8 splat(float a) { return {_mm256_set1_ps(a)}; }
    static F8 load(const float* p) { return {_mm256_loadu_ps(p)}; }
    static void store(float* p, R a) { _mm256_storeu_ps(p, a); }
    static unsigned bits(R m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }
    static R sqrt(R a) { return _mm256_sqrt_ps(a); }
    static R and_(R a, R b) { return _mm256_and_ps(a, b); }
    static R or_(R a, R b) { return _mm256_or_ps(a, b); }
    static R xor_(R a, R b) { return _mm256_xor_ps(a, b); }
    static R andnot(R m, R a) { return _mm256_andnot_ps(m, a); }
};
template <>
struct Traits<D4> {
    using Scalar = double;
    using R = detail::f64x4;
    static constexpr int kWidth = 4;
    static D4 splat(double a) { return {_mm256_set1_pd(a)}; }
    static D4 load(const double* p) { return {_mm256_loadu_pd(p)}; }
    static void store(double* p, R a) { _mm256_storeu_pd(p, a); }
    static unsigned bits(R m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static R sqrt(R a) { return _mm256_sqrt_pd(a); }
    static R and_(R a, R b) { return _mm256_and_pd(a, b); }
    static R or_(R a, R b) { return _mm256_or_pd(a, b); }
    static R xor_(R a, R b) { return _mm256_xor_pd(a, b); }
    static R andnot(R m, R a) { return _mm256_andnot_pd(m, a); }
};
#endif

// The operations of every register, written once: the compilers' vector
// arithmetic and comparisons, and the table above.
template <class R>
using RegTraits = Traits<Reg<R>>;

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
    return {RegTraits<R>::and_(a.v, b.v)};
}
template <class R>
inline Reg<R> operator|(Reg<R> a, Reg<R> b) {
    return {RegTraits<R>::or_(a.v, b.v)};
}
// mask ? a : b, bit for bit.
template <class R>
inline Reg<R> select(Reg<R> mask, Reg<R> a, Reg<R> b) {
    using T = RegTraits<R>;
    return {T::or_(T::and_(mask.v, a.v), T::andnot(mask.v, b.v))};
}
template <class R>
inline Reg<R> abs(Reg<R> a) {
    return {RegTraits<R>::andnot(RegTraits<R>::splat(-0.0).v, a.v)};
}
// `a` with its sign bit flipped where `b`'s is set.
template <class R>
inline Reg<R> xor_sign(Reg<R> a, Reg<R> b) {
    using T = RegTraits<R>;
    return {T::xor_(a.v, T::and_(b.v, T::splat(-0.0).v))};
}
template <class R>
inline Reg<R> sqrt(Reg<R> a) {
    return {RegTraits<R>::sqrt(a.v)};
}
// Bit k set when lane k of the mask is set.
template <class R>
inline unsigned bits(Reg<R> mask) {
    return RegTraits<R>::bits(mask.v);
}
template <class R>
inline void store(typename RegTraits<R>::Scalar* p, Reg<R> a) {
    RegTraits<R>::store(p, a.v);
}

inline F4 load(const float* p) {
    return Traits<F4>::load(p);
}
inline F4 splat(float a) {
    return Traits<F4>::splat(a);
}
inline F4 set(float a, float b, float c, float d) {
    return {_mm_setr_ps(a, b, c, d)};
}

#endif  // __SSE2__

}  // namespace ORVIK_ISA
}  // namespace orvik::lanes

#if !defined(__SSE2__)
#include "common/lanes_plain.hpp"
#endif

namespace orvik::lanes {
inline namespace ORVIK_ISA {

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

#include "common/lane_moves.hpp"
