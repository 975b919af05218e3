// The blend loop with eight rows in the lanes of one AVX register; built
// with AVX enabled and called only when the processor has it (blend_rows.cpp
// asks). Only the blend template and intrinsics are compiled here, so no
// inline function built for AVX can stand in for a baseline one elsewhere.
#include <immintrin.h>

#include <cstddef>

#include "quality/blend_lanes.hpp"

namespace orvik {
namespace {

// Rows 0-3 of a group of eight sit in the low halves of the registers and
// rows 4-7 in the high halves; every shuffle stays within its half, so the
// moves between rows and columns are those of the four-row loop.
struct AvxLanes {
    using V = __m256;
    static V splat(float a) { return _mm256_set1_ps(a); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V sub(V a, V b) { return _mm256_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V lt(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    // Bitwise, not blendv: the compiler turns a blendv of a comparison into
    // branches on each lane.
    static V select(V m, V a, V b) {
        return _mm256_or_ps(_mm256_and_ps(m, a), _mm256_andnot_ps(m, b));
    }

    template <int M>
    static V shuffle(V a, V b) {
        return _mm256_shuffle_ps(a, b, M);
    }
    static V unpacklo(V a, V b) { return _mm256_unpacklo_ps(a, b); }
    static V unpackhi(V a, V b) { return _mm256_unpackhi_ps(a, b); }
    static constexpr int kRows = 8;
    // Six whole loads; each register then takes its low half from rows 0-3
    // and its high half from rows 4-7.
    static void load6(const float* p, V* r) {
        for (int k = 0; k < 3; ++k) {
            const V lo = _mm256_loadu_ps(p + 8 * k), hi = _mm256_loadu_ps(p + 24 + 8 * k);
            r[2 * k] = _mm256_permute2f128_ps(lo, hi, 0x20);
            r[2 * k + 1] = _mm256_permute2f128_ps(lo, hi, 0x31);
        }
    }
    // The halves written 24 floats apart (`p` 16-byte aligned when Stream).
    template <bool Stream>
    static void put(float* p, V v) {
        if constexpr (Stream) {
            _mm_stream_ps(p, _mm256_castps256_ps128(v));
            _mm_stream_ps(p + 24, _mm256_extractf128_ps(v, 1));
        } else {
            _mm256_storeu2_m128(p + 24, p, v);
        }
    }
};

}  // namespace

void blend_dense_avx(const float* f, const float* b, float* out, std::ptrdiff_t rows, bool stream) {
    if (stream) {
        lanes::blend_groups<AvxLanes, true>(f, b, out, rows);
        _mm_sfence();
    } else {
        lanes::blend_groups<AvxLanes, false>(f, b, out, rows);
    }
}

}  // namespace orvik
