#include "quality/blend_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>

#include "quality/blend_lanes.hpp"
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

    template <int M>
    static V shuffle(V a, V b) {
        return _mm_shuffle_ps(a, b, M);
    }
    static V unpacklo(V a, V b) { return _mm_unpacklo_ps(a, b); }
    static V unpackhi(V a, V b) { return _mm_unpackhi_ps(a, b); }
    static constexpr int kRows = 4;
    static void load6(const float* p, V* r) {
        for (int k = 0; k < 6; ++k) r[k] = _mm_loadu_ps(p + 4 * k);
    }
    // Streaming stores go past the cache (`p` 16-byte aligned).
    template <bool Stream>
    static void put(float* p, V v) {
        if constexpr (Stream)
            _mm_stream_ps(p, v);
        else
            _mm_storeu_ps(p, v);
    }
};

template <bool Stream>
void blend_sse2(const float* f, const float* b, float* out, std::ptrdiff_t rows) {
    lanes::blend_groups<Sse2Lanes, Stream>(f, b, out, rows);
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
