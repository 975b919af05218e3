// A growable array whose first N entries live inside the object: the
// traversal stacks and the pending queue of the queries allocate nothing
// until they outgrow it. Once moved to the heap it stays there, so a stack
// reused from point to point pays for the move at most once.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>

namespace orvik {

template <class T, std::size_t N>
class InlineVector {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(N > 0);

  public:
    InlineVector() = default;
    InlineVector(const InlineVector&) = delete;
    InlineVector& operator=(const InlineVector&) = delete;
    InlineVector(InlineVector&& o) noexcept
        : size_(o.size_), capacity_(o.capacity_), heap_(std::move(o.heap_)) {
        if (heap_) {
            data_ = heap_.get();
        } else {
            std::memcpy(inline_, o.inline_, size_ * sizeof(T));
        }
        o.data_ = o.inline_;
        o.size_ = 0;
        o.capacity_ = N;
    }
    InlineVector& operator=(InlineVector&&) = delete;

    bool empty() const { return size_ == 0; }
    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool spilled() const { return data_ != inline_; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }

    void push_back(const T& v) {
        if (size_ == capacity_) grow();
        data_[size_++] = v;
    }
    // Writes `v` into the next slot and keeps it only when `keep`: a push
    // without a branch on the condition.
    void push_if(const T& v, bool keep) {
        if (size_ == capacity_) grow();
        data_[size_] = v;
        size_ += keep ? 1 : 0;
    }
    // Precondition: not empty.
    T pop_back() { return data_[--size_]; }
    void clear() { size_ = 0; }

    // For loops that keep the size in a register and use data() directly:
    // makes room for more than `used` entries, keeping the first `used`,
    // and returns the storage, which may have moved.
    T* grow(std::size_t used) {
        size_ = used;
        grow();
        return data_;
    }

  private:
    void grow() {
        const std::size_t cap = capacity_ * 2;
        std::unique_ptr<T[]> bigger(new T[cap]);
        std::memcpy(bigger.get(), data_, size_ * sizeof(T));
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = cap;
    }

    T inline_[N];
    T* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = N;
    std::unique_ptr<T[]> heap_;
};

}  // namespace orvik
