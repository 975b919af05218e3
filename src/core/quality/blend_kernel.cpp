// The blend loop in the widest float lanes of its build: four rows per SSE2
// register, or eight per AVX register with rows 0-3 in the low halves and
// rows 4-7 in the high halves (AVX's shuffles stay within a half, so each
// half moves as a four-row register would). A kernel: compiled once per
// instruction set.
#include "quality/blend_kernel.hpp"

#include "common/lanes.hpp"
#include "quality/blend_lanes.hpp"

namespace orvik::ORVIK_ISA {
namespace {

#if defined(__SSE2__)
// The operations blend_lanes.hpp asks of its lanes.
struct RowLanes {
    using V = lanes::Floats;
    static constexpr int kRows = lanes::width<V>;
    static V splat(float a) { return lanes::splat<V>(a); }
    static V add(V a, V b) { return a + b; }
    static V sub(V a, V b) { return a - b; }
    static V mul(V a, V b) { return a * b; }
    static V div(V a, V b) { return a / b; }
    static V lt(V a, V b) { return lanes::lt(a, b); }
    static V select(V m, V a, V b) { return lanes::select(m, a, b); }
    template <int M>
    static V shuffle(V a, V b) {
        return lanes::shuffle<M>(a, b);
    }
    static V unpacklo(V a, V b) { return lanes::unpacklo(a, b); }
    static V unpackhi(V a, V b) { return lanes::unpackhi(a, b); }

    // The six registers of kRows rows: with eight, six whole loads, each
    // register then taking its low half from rows 0-3 and its high half
    // from rows 4-7.
    static void load6(const float* p, V* r) {
#if defined(__AVX__)
        for (int k = 0; k < 3; ++k) {
            const __m256 lo = _mm256_loadu_ps(p + 8 * k), hi = _mm256_loadu_ps(p + 24 + 8 * k);
            r[2 * k] = {_mm256_permute2f128_ps(lo, hi, 0x20)};
            r[2 * k + 1] = {_mm256_permute2f128_ps(lo, hi, 0x31)};
        }
#else
        for (int k = 0; k < 6; ++k) r[k] = lanes::load(p + 4 * k);
#endif
    }
    // A register's halves written 24 floats apart; past the caches when
    // Stream (`p` 16-byte aligned then).
    template <bool Stream>
    static void put(float* p, V v) {
#if defined(__AVX__)
        if constexpr (Stream) {
            _mm_stream_ps(p, _mm256_castps256_ps128(v.v));
            _mm_stream_ps(p + 24, _mm256_extractf128_ps(v.v, 1));
        } else {
            _mm256_storeu2_m128(p + 24, p, v.v);
        }
#else
        if constexpr (Stream)
            _mm_stream_ps(p, v.v);
        else
            _mm_storeu_ps(p, v.v);
#endif
    }
};
#endif

}  // namespace

std::ptrdiff_t blend_groups(const float* f, const float* b, float* out, std::ptrdiff_t rows,
                            bool stream) {
#if defined(__SSE2__)
    const std::ptrdiff_t groups = rows / RowLanes::kRows * RowLanes::kRows;
    if (stream) {
        lanes::blend_groups<RowLanes, true>(f, b, out, groups);
        _mm_sfence();
    } else {
        lanes::blend_groups<RowLanes, false>(f, b, out, groups);
    }
    return groups;
#else
    (void)f, (void)b, (void)out, (void)rows, (void)stream;
    return 0;
#endif
}

}  // namespace orvik::ORVIK_ISA
