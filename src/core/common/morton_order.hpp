// Puts the points of a batch in Morton order over the batch's bounding box, so
// that points met one after another lie near one another and a traversal
// finds the nodes it needs still in the cache. Works on bounded chunks of the
// batch with scratch allocated once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "common/strided.hpp"

namespace orvik {

class MortonOrder {
  public:
    // Rows sorted in one go; a larger batch is ordered chunk by chunk.
    static constexpr std::ptrdiff_t kChunk = std::ptrdiff_t{1} << 20;
    // Key of a point with a coordinate that is not a finite number: after
    // every other key, so such points come last.
    static constexpr std::uint32_t kLastKey = std::uint32_t{1} << 30;

    // Scratch for batches of `rows` rows: room for min(rows, chunk) rows.
    // Throws std::bad_alloc when memory runs out.
    explicit MortonOrder(std::ptrdiff_t rows, std::ptrdiff_t chunk = kChunk);

    std::ptrdiff_t capacity() const { return capacity_; }

    // The rows of [begin, end) (at most `capacity()` of them) whose mask
    // entry is set (every row without a mask), in Morton order of (x, y, z)
    // over their bounding box, points with a NaN or infinite coordinate
    // last, rows of equal keys in increasing order. Each entry holds the key
    // in its upper 32 bits and the row minus `begin` in its lower 32. Valid
    // until the next call.
    std::span<const std::uint64_t> sort(const StridedView<float, 1>& x,
                                        const StridedView<float, 1>& y,
                                        const StridedView<float, 1>& z,
                                        const std::optional<StridedView<std::uint8_t, 1>>& mask,
                                        std::ptrdiff_t begin, std::ptrdiff_t end);

    // The key of a point in a box: ten bits per axis interleaved (x in the
    // lowest bit), each axis cut into 1024 cells from lo to lo + 1024 / scale.
    static std::uint32_t key(float x, float y, float z, const double lo[3], const double scale[3]);

  private:
    std::ptrdiff_t capacity_ = 0;
    std::unique_ptr<std::uint64_t[]> a_, b_;
    std::unique_ptr<std::size_t[]> counts_;  // digit histograms of the radix sort
};

}  // namespace orvik
