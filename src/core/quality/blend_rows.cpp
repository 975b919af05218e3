#include "quality/blend_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/isa.hpp"
#include "quality/blend_kernel.hpp"

namespace orvik {
namespace {

constexpr std::ptrdiff_t kBlock = 1 << 16;                       // rows between two stop polls
constexpr std::ptrdiff_t kGather = 256;                          // strided rows copied together
constexpr std::ptrdiff_t kRow = kQualityColumns;                 // floats per row
constexpr std::ptrdiff_t kStreamFrom = std::ptrdiff_t{1} << 20;  // rows (24 MiB of result)

using BlendGroups = std::ptrdiff_t (*)(const float*, const float*, float*, std::ptrdiff_t, bool);
const isa::Builds<BlendGroups> kBlendGroups ORVIK_BUILDS(orvik, blend_groups);

}  // namespace

void blend_dense(const float* f, const float* b, float* out, std::ptrdiff_t rows, BlendLanes lanes,
                 bool stream) {
    std::ptrdiff_t done = 0;
    stream = stream && reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
    if (lanes != BlendLanes::One) {
        const isa::Level ceiling =
            lanes == BlendLanes::Widest ? isa::Level::Avx2 : isa::Level::Baseline;
        const BlendGroups groups = kBlendGroups.choose(ceiling);
        done = groups(f, b, out, rows, stream);
        // Wider groups leave up to seven rows; the baseline's four-row
        // groups take what they can of them.
        if (groups != kBlendGroups.baseline) {
            done += kBlendGroups.baseline(f + kRow * done, b + kRow * done, out + kRow * done,
                                          rows - done, stream);
        }
    }
    for (std::ptrdiff_t i = done; i < rows; ++i) {
        blend_columns<detail::ScalarLanes>(f + kRow * i, b + kRow * i, out + kRow * i);
    }
}

bool blend_rows(const StridedView<float, 2>& lhs, const StridedView<float, 2>& rhs, float* out,
                const Interrupt& stop) {
    const std::ptrdiff_t n = lhs.shape[0];
    const bool dense =
        lhs.shape[1] == kRow && rhs.shape[1] == kRow && lhs.contiguous() && rhs.contiguous();
    if (dense) {
        const float* f = reinterpret_cast<const float*>(lhs.data);
        const float* b = reinterpret_cast<const float*>(rhs.data);
        // A result far larger than the caches is written past them: no
        // cache line of it is read before it is written, and none is evicted
        // for it.
        const bool stream = n >= kStreamFrom;
        return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            blend_dense(f + kRow * begin, b + kRow * begin, out + kRow * begin, end - begin,
                        BlendLanes::Widest, stream);
        });
    }
    // Other layouts: rows are copied into small dense blocks first, so the
    // vectorised loop runs on them too.
    float f[kGather * kRow], b[kGather * kRow];
    return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t at = begin; at < end; at += kGather) {
            const std::ptrdiff_t count = std::min(kGather, end - at);
            for (std::ptrdiff_t i = 0; i < count; ++i) {
                const Quality fq = read_quality_row(lhs, at + i),
                              bq = read_quality_row(rhs, at + i);
                std::memcpy(f + kRow * i, &fq, sizeof fq);
                std::memcpy(b + kRow * i, &bq, sizeof bq);
            }
            blend_dense(f, b, out + kRow * at, count);
        }
    });
}

}  // namespace orvik
