// The blend loop with eight rows in the lanes of one AVX register; built
// with AVX enabled and called only when the processor has it (blend_rows.cpp
// asks). Only the blend template and intrinsics are compiled here, so no
// inline function built for AVX can stand in for a baseline one elsewhere.
#include <immintrin.h>

#include <cstddef>

#include "quality/blend_formula.hpp"

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

    static void transpose(V& a, V& b, V& c, V& d) {
        const V t0 = _mm256_shuffle_ps(a, b, 0x44), t1 = _mm256_shuffle_ps(a, b, 0xEE);
        const V t2 = _mm256_shuffle_ps(c, d, 0x44), t3 = _mm256_shuffle_ps(c, d, 0xEE);
        a = _mm256_shuffle_ps(t0, t2, 0x88);
        b = _mm256_shuffle_ps(t0, t2, 0xDD);
        c = _mm256_shuffle_ps(t1, t3, 0x88);
        d = _mm256_shuffle_ps(t1, t3, 0xDD);
    }
    static void load(const float* p, V* c) {
        // Six whole loads; each register then takes its low half from rows
        // 0-3 and its high half from rows 4-7.
        const V l0 = _mm256_loadu_ps(p), l1 = _mm256_loadu_ps(p + 8);
        const V l2 = _mm256_loadu_ps(p + 16), h0 = _mm256_loadu_ps(p + 24);
        const V h1 = _mm256_loadu_ps(p + 32), h2 = _mm256_loadu_ps(p + 40);
        const V a = _mm256_permute2f128_ps(l0, h0, 0x20), b = _mm256_permute2f128_ps(l0, h0, 0x31);
        const V cc = _mm256_permute2f128_ps(l1, h1, 0x20), d = _mm256_permute2f128_ps(l1, h1, 0x31);
        const V e = _mm256_permute2f128_ps(l2, h2, 0x20), f = _mm256_permute2f128_ps(l2, h2, 0x31);
        c[0] = a;
        c[1] = _mm256_shuffle_ps(b, cc, 0x4E);
        c[2] = d;
        c[3] = _mm256_shuffle_ps(e, f, 0x4E);
        const V y0 = _mm256_shuffle_ps(b, cc, 0xE4);
        const V y1 = _mm256_shuffle_ps(e, f, 0xE4);
        transpose(c[0], c[1], c[2], c[3]);
        c[4] = _mm256_shuffle_ps(y0, y1, 0x88);
        c[5] = _mm256_shuffle_ps(y0, y1, 0xDD);
    }
    static void store2(float* p, V v) { _mm256_storeu2_m128(p + 24, p, v); }
    // The same halves written past the cache (`p` 16-byte aligned).
    static void stream2(float* p, V v) {
        _mm_stream_ps(p, _mm256_castps256_ps128(v));
        _mm_stream_ps(p + 24, _mm256_extractf128_ps(v, 1));
    }
    template <bool Stream>
    static void put(float* p, V v) {
        if constexpr (Stream)
            stream2(p, v);
        else
            store2(p, v);
    }
    template <bool Stream>
    static void store(float* p, const V* c) {
        V x0 = c[0], x1 = c[1], x2 = c[2], x3 = c[3];
        transpose(x0, x1, x2, x3);
        const V y0 = _mm256_unpacklo_ps(c[4], c[5]), y1 = _mm256_unpackhi_ps(c[4], c[5]);
        put<Stream>(p, x0);
        put<Stream>(p + 4, _mm256_shuffle_ps(y0, x1, 0x44));
        put<Stream>(p + 8, _mm256_shuffle_ps(x1, y0, 0xEE));
        put<Stream>(p + 12, x2);
        put<Stream>(p + 16, _mm256_shuffle_ps(y1, x3, 0x44));
        put<Stream>(p + 20, _mm256_shuffle_ps(x3, y1, 0xEE));
    }
};

template <bool Stream>
void blend_lanes(const float* f, const float* b, float* out, std::ptrdiff_t rows) {
    for (std::ptrdiff_t i = 0; i < rows; i += 8) {
        __m256 fc[6], bc[6], rc[6];
        AvxLanes::load(f + 6 * i, fc);
        AvxLanes::load(b + 6 * i, bc);
        blend_columns<AvxLanes>(fc, bc, rc);
        AvxLanes::store<Stream>(out + 6 * i, rc);
    }
}

}  // namespace

void blend_dense_avx(const float* f, const float* b, float* out, std::ptrdiff_t rows, bool stream) {
    if (stream) {
        blend_lanes<true>(f, b, out, rows);
        _mm_sfence();
    } else {
        blend_lanes<false>(f, b, out, rows);
    }
}

}  // namespace orvik
