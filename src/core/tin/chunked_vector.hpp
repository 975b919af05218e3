// A growing array whose elements never move: storage comes in fixed chunks,
// so that growing copies nothing and takes no more memory than one more
// chunk, which a large per-call table would otherwise pay for in copies and
// in fresh pages at every doubling.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace orvik {

// Elements are built in place as they are appended, in chunks left
// unconstructed until then, and never destroyed.
template <class T, std::size_t kChunkBits = 14>
class ChunkedVector {
    static_assert(std::is_trivially_destructible_v<T>);

  public:
    std::size_t size() const { return size_; }

    T& operator[](std::size_t i) { return chunks_[i >> kChunkBits].get()[i & kMask]; }
    const T& operator[](std::size_t i) const { return chunks_[i >> kChunkBits].get()[i & kMask]; }

    void push_back(const T& value) {
        if ((size_ >> kChunkBits) == chunks_.size()) {
            chunks_.emplace_back(
                static_cast<T*>(::operator new (kChunk * sizeof(T), std::align_val_t{alignof(T)})));
        }
        ::new (static_cast<void*>(chunks_[size_ >> kChunkBits].get() + (size_ & kMask))) T(value);
        ++size_;
    }

  private:
    static constexpr std::size_t kChunk = std::size_t{1} << kChunkBits;
    static constexpr std::size_t kMask = kChunk - 1;

    struct Release {
        void operator()(T* p) const { ::operator delete (p, std::align_val_t{alignof(T)}); }
    };
    std::vector<std::unique_ptr<T, Release>> chunks_;
    std::size_t size_ = 0;
};

}  // namespace orvik
