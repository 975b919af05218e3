// A growing array whose elements never move: storage comes in fixed chunks,
// so that growing copies nothing and takes no more memory than one more
// chunk, which a large per-call table would otherwise pay for in copies and
// in fresh pages at every doubling.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace orvik {

template <class T, std::size_t kChunkBits = 14>
class ChunkedVector {
  public:
    std::size_t size() const { return size_; }

    T& operator[](std::size_t i) { return chunks_[i >> kChunkBits][i & kMask]; }
    const T& operator[](std::size_t i) const { return chunks_[i >> kChunkBits][i & kMask]; }

    void push_back(const T& value) {
        if ((size_ >> kChunkBits) == chunks_.size()) chunks_.emplace_back(new T[kChunk]);
        (*this)[size_] = value;
        ++size_;
    }

  private:
    static constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;
    static constexpr std::size_t kMask = kChunk - 1;

    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t size_ = 0;
};

}  // namespace orvik
