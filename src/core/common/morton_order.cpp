#include "common/morton_order.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace orvik {
namespace {

// The ten low bits of v moved to every third bit.
std::uint32_t spread(std::uint32_t v) {
    v &= 0x3FFu;
    v = (v | (v << 16)) & 0x030000FFu;
    v = (v | (v << 8)) & 0x0300F00Fu;
    v = (v | (v << 4)) & 0x030C30C3u;
    v = (v | (v << 2)) & 0x09249249u;
    return v;
}

std::uint32_t cell(float v, double lo, double scale) {
    const double c = (static_cast<double>(v) - lo) * scale;
    return c >= 1023.0 ? 1023u : static_cast<std::uint32_t>(c);
}

bool finite(float x, float y, float z) {
    return std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
}

// Least significant digit first, 11 bits per pass over the key half of the
// entries (31 bits of key), skipping passes where every entry has the same
// digit. Stable, so equal keys keep their rows in increasing order.
constexpr int kBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kBits;
constexpr int kPasses = 3;

std::uint64_t* radix_sort(std::uint64_t* a, std::uint64_t* b, std::size_t n, std::size_t* counts) {
    std::fill(counts, counts + kPasses * kBuckets, std::size_t{0});
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = a[i] >> 32;
        for (int p = 0; p < kPasses; ++p) {
            ++counts[p * kBuckets + ((k >> (p * kBits)) & (kBuckets - 1))];
        }
    }
    for (int p = 0; p < kPasses; ++p) {
        std::size_t* c = counts + p * kBuckets;
        if (n > 0 && c[(a[0] >> (32 + p * kBits)) & (kBuckets - 1)] == n)
            continue;  // one digit only
        std::size_t sum = 0;
        for (std::size_t d = 0; d < kBuckets; ++d) sum += std::exchange(c[d], sum);
        const int shift = 32 + p * kBits;
        for (std::size_t i = 0; i < n; ++i) b[c[(a[i] >> shift) & (kBuckets - 1)]++] = a[i];
        std::swap(a, b);
    }
    return a;
}

}  // namespace

MortonOrder::MortonOrder(std::ptrdiff_t rows, std::ptrdiff_t chunk)
    : capacity_(std::clamp<std::ptrdiff_t>(std::min(rows, chunk), 1, kChunk)),
      a_(new std::uint64_t[static_cast<std::size_t>(capacity_)]),
      b_(new std::uint64_t[static_cast<std::size_t>(capacity_)]),
      counts_(new std::size_t[kPasses * kBuckets]) {}

std::uint32_t MortonOrder::key(float x, float y, float z, const double lo[3],
                               const double scale[3]) {
    return spread(cell(x, lo[0], scale[0])) | (spread(cell(y, lo[1], scale[1])) << 1) |
           (spread(cell(z, lo[2], scale[2])) << 2);
}

std::span<const std::uint64_t> MortonOrder::sort(
    const StridedView<float, 1>& x, const StridedView<float, 1>& y, const StridedView<float, 1>& z,
    const std::optional<StridedView<std::uint8_t, 1>>& mask, std::ptrdiff_t begin,
    std::ptrdiff_t end) {
    auto kept = [&](std::ptrdiff_t i) { return !mask || mask->at(i) != 0; };

    // The box of the finite points.
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        if (!kept(i)) continue;
        const float p[3] = {x.at(i), y.at(i), z.at(i)};
        if (!finite(p[0], p[1], p[2])) continue;
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], static_cast<double>(p[a]));
            hi[a] = std::max(hi[a], static_cast<double>(p[a]));
        }
    }
    double scale[3];
    for (int a = 0; a < 3; ++a) scale[a] = hi[a] > lo[a] ? 1024.0 / (hi[a] - lo[a]) : 0.0;

    std::size_t n = 0;
    std::uint64_t* a = a_.get();
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        if (!kept(i)) continue;
        const float px = x.at(i), py = y.at(i), pz = z.at(i);
        const std::uint32_t k = finite(px, py, pz) ? key(px, py, pz, lo, scale) : kLastKey;
        a[n++] = (static_cast<std::uint64_t>(k) << 32) | static_cast<std::uint64_t>(i - begin);
    }
    const std::uint64_t* sorted = radix_sort(a, b_.get(), n, counts_.get());
    return {sorted, n};
}

}  // namespace orvik
