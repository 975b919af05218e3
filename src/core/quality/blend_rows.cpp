#include "quality/blend_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvik {

#if defined(__x86_64__) || defined(__i386__)
// blend_rows_avx.cpp, built for AVX: `rows` (a multiple of 8) contiguous rows.
void blend_dense_avx(const float* f, const float* b, float* out, std::ptrdiff_t rows, bool stream);
#endif

namespace {

constexpr std::ptrdiff_t kBlock = 1 << 16;                       // rows between two stop polls
constexpr std::ptrdiff_t kGather = 256;                          // strided rows copied together
constexpr std::ptrdiff_t kStreamFrom = std::ptrdiff_t{1} << 20;  // rows (24 MiB of result)

#if defined(__SSE2__)
// Four rows at a time, moved between rows and columns in registers.
struct Sse2Lanes {
    using V = __m128;
    static V splat(float a) { return _mm_set1_ps(a); }
    static V add(V a, V b) { return _mm_add_ps(a, b); }
    static V sub(V a, V b) { return _mm_sub_ps(a, b); }
    static V mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V div(V a, V b) { return _mm_div_ps(a, b); }
    static V lt(V a, V b) { return _mm_cmplt_ps(a, b); }
    static V select(V m, V a, V b) { return _mm_or_ps(_mm_and_ps(m, a), _mm_andnot_ps(m, b)); }

    static void transpose(V& a, V& b, V& c, V& d) {
        const V t0 = _mm_shuffle_ps(a, b, 0x44), t1 = _mm_shuffle_ps(a, b, 0xEE);
        const V t2 = _mm_shuffle_ps(c, d, 0x44), t3 = _mm_shuffle_ps(c, d, 0xEE);
        a = _mm_shuffle_ps(t0, t2, 0x88);
        b = _mm_shuffle_ps(t0, t2, 0xDD);
        c = _mm_shuffle_ps(t1, t3, 0x88);
        d = _mm_shuffle_ps(t1, t3, 0xDD);
    }
    // Rows r0..r3 of six floats (24 floats from p) into columns c[0..5].
    static void load(const float* p, V* c) {
        const V a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4), cc = _mm_loadu_ps(p + 8);
        const V d = _mm_loadu_ps(p + 12), e = _mm_loadu_ps(p + 16), f = _mm_loadu_ps(p + 20);
        c[0] = a;                                  // r0 0..3
        c[1] = _mm_shuffle_ps(b, cc, 0x4E);        // r1 0..3
        c[2] = d;                                  // r2 0..3
        c[3] = _mm_shuffle_ps(e, f, 0x4E);         // r3 0..3
        const V y0 = _mm_shuffle_ps(b, cc, 0xE4);  // r0 4 5, r1 4 5
        const V y1 = _mm_shuffle_ps(e, f, 0xE4);   // r2 4 5, r3 4 5
        transpose(c[0], c[1], c[2], c[3]);
        c[4] = _mm_shuffle_ps(y0, y1, 0x88);
        c[5] = _mm_shuffle_ps(y0, y1, 0xDD);
    }
    // Streaming stores go past the cache (`p` 16-byte aligned).
    template <bool Stream>
    static void put(float* p, V v) {
        if constexpr (Stream)
            _mm_stream_ps(p, v);
        else
            _mm_storeu_ps(p, v);
    }
    template <bool Stream>
    static void store(float* p, const V* c) {
        V x0 = c[0], x1 = c[1], x2 = c[2], x3 = c[3];
        transpose(x0, x1, x2, x3);
        const V y0 = _mm_unpacklo_ps(c[4], c[5]), y1 = _mm_unpackhi_ps(c[4], c[5]);
        put<Stream>(p, x0);
        put<Stream>(p + 4, _mm_shuffle_ps(y0, x1, 0x44));
        put<Stream>(p + 8, _mm_shuffle_ps(x1, y0, 0xEE));
        put<Stream>(p + 12, x2);
        put<Stream>(p + 16, _mm_shuffle_ps(y1, x3, 0x44));
        put<Stream>(p + 20, _mm_shuffle_ps(x3, y1, 0xEE));
    }
};

template <bool Stream>
void blend_sse2(const float* f, const float* b, float* out, std::ptrdiff_t rows) {
    for (std::ptrdiff_t i = 0; i < rows; i += 4) {
        __m128 fc[6], bc[6], rc[6];
        Sse2Lanes::load(f + 6 * i, fc);
        Sse2Lanes::load(b + 6 * i, bc);
        blend_columns<Sse2Lanes>(fc, bc, rc);
        Sse2Lanes::store<Stream>(out + 6 * i, rc);
    }
    if (Stream) _mm_sfence();
}
#endif

bool cpu_has_avx() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx");
    return has;
#else
    return false;
#endif
}

}  // namespace

void blend_dense(const float* f, const float* b, float* out, std::ptrdiff_t rows, BlendLanes lanes,
                 bool stream) {
    std::ptrdiff_t done = 0;
    stream = stream && reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
#if defined(__x86_64__) || defined(__i386__)
    if (lanes == BlendLanes::Widest && cpu_has_avx()) {
        const std::ptrdiff_t wide = rows / 8 * 8;
        blend_dense_avx(f, b, out, wide, stream);
        done = wide;
    }
#endif
#if defined(__SSE2__)
    if (lanes != BlendLanes::One) {
        const std::ptrdiff_t quads = done + (rows - done) / 4 * 4;
        if (stream)
            blend_sse2<true>(f + 6 * done, b + 6 * done, out + 6 * done, quads - done);
        else
            blend_sse2<false>(f + 6 * done, b + 6 * done, out + 6 * done, quads - done);
        done = quads;
    }
#endif
    for (std::ptrdiff_t i = done; i < rows; ++i) {
        blend_columns<detail::ScalarLanes>(f + 6 * i, b + 6 * i, out + 6 * i);
    }
}

bool blend_rows(const StridedView<float, 2>& lhs, const StridedView<float, 2>& rhs, float* out,
                const Interrupt& stop) {
    const std::ptrdiff_t n = lhs.shape[0];
    const bool dense =
        lhs.shape[1] == 6 && rhs.shape[1] == 6 && lhs.contiguous() && rhs.contiguous();
    if (dense) {
        const float* f = reinterpret_cast<const float*>(lhs.data);
        const float* b = reinterpret_cast<const float*>(rhs.data);
        // A result far larger than the caches is written past them: no
        // cache line of it is read before it is written, and none is evicted
        // for it.
        const bool stream = n >= kStreamFrom;
        return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            blend_dense(f + 6 * begin, b + 6 * begin, out + 6 * begin, end - begin,
                        BlendLanes::Widest, stream);
        });
    }
    // Other layouts: rows are copied into small dense blocks first, so the
    // vectorised loop runs on them too.
    float f[kGather * 6], b[kGather * 6];
    return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t at = begin; at < end; at += kGather) {
            const std::ptrdiff_t count = std::min(kGather, end - at);
            for (std::ptrdiff_t i = 0; i < count; ++i) {
                const Quality fq = read_quality_row(lhs, at + i),
                              bq = read_quality_row(rhs, at + i);
                std::memcpy(f + 6 * i, &fq, sizeof fq);
                std::memcpy(b + 6 * i, &bq, sizeof bq);
            }
            blend_dense(f, b, out + 6 * at, count);
        }
    });
}

}  // namespace orvik
