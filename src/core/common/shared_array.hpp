// An immutable array of plain elements that either owns them or borrows them
// from storage that something else owns (a memory-mapped model file): the
// big arrays of a record, so that a record read from a mapping uses the
// mapped bytes in place. Copies share the elements; nothing can change them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace orvik {

template <class T>
class SharedArray {
    static_assert(std::is_trivially_copyable_v<T>, "borrowed elements are bytes in place");

  public:
    SharedArray() = default;

    // Takes the vector's elements over, without copying them.
    SharedArray(std::vector<T>&& elements) {  // NOLINT: implicit, like assigning the vector
        if (elements.empty()) return;
        auto owned = std::make_shared<const std::vector<T>>(std::move(elements));
        data_ = owned->data();
        size_ = owned->size();
        owner_ = std::move(owned);
    }

    SharedArray(std::initializer_list<T> elements) : SharedArray(std::vector<T>(elements)) {}

    // `count` elements at `data`, which stay valid as long as `owner` lives.
    static SharedArray borrow(const T* data, std::size_t count, std::shared_ptr<const void> owner) {
        SharedArray a;
        if (count == 0) return a;
        a.data_ = data;
        a.size_ = count;
        a.owner_ = std::move(owner);
        a.borrowed_ = true;
        return a;
    }

    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& front() const { return data_[0]; }
    const T& back() const { return data_[size_ - 1]; }
    std::span<const T> span() const { return {data_, size_}; }

    // Whether the elements belong to someone else (a mapping).
    bool borrowed() const { return borrowed_; }

    // A copy of the elements, to edit and hand back.
    std::vector<T> to_vector() const { return std::vector<T>(span().begin(), span().end()); }

    friend bool operator==(const SharedArray& a, const SharedArray& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator==(const SharedArray& a, const std::vector<T>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

  private:
    const T* data_ = nullptr;
    std::size_t size_ = 0;
    std::shared_ptr<const void> owner_;
    bool borrowed_ = false;
};

// Replaces `array` by a copy of its elements as `change(std::vector<T>&)`
// leaves them.
template <class T, class Change>
void edit(SharedArray<T>& array, Change&& change) {
    std::vector<T> elements = array.to_vector();
    change(elements);
    array = std::move(elements);
}

}  // namespace orvik
