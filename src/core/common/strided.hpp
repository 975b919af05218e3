// A borrowed view of caller memory with arbitrary byte strides. The Python
// layer builds these from NumPy arrays; the core reads through them in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvik {

namespace detail {
// True when every axis of more than one element has the stride of C order
// for elements of `item` bytes.
template <int N>
bool c_ordered(const std::array<std::ptrdiff_t, N>& shape,
               const std::array<std::ptrdiff_t, N>& strides, std::ptrdiff_t item) {
    std::ptrdiff_t expect = item;
    for (int a = N - 1; a >= 0; --a) {
        if (shape[a] > 1 && strides[a] != expect) return false;
        expect *= shape[a];
    }
    return true;
}
}  // namespace detail

template <class T, int N>
struct StridedView {
    const char* data = nullptr;
    std::array<std::ptrdiff_t, N> shape{};
    std::array<std::ptrdiff_t, N> strides{};  // in bytes, may be negative

    std::ptrdiff_t size(int axis = 0) const { return shape[axis]; }

    const T& at(std::ptrdiff_t i) const requires(N == 1) {
        return *reinterpret_cast<const T*>(data + i * strides[0]);
    }
    const T& at(std::ptrdiff_t i, std::ptrdiff_t j) const requires(N == 2) {
        return *reinterpret_cast<const T*>(data + i * strides[0] + j * strides[1]);
    }
    const T& at(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const requires(N == 3) {
        return *reinterpret_cast<const T*>(data + i * strides[0] + j * strides[1] + k * strides[2]);
    }
    const T& at(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k, std::ptrdiff_t l) const
        requires(N == 4) {
        return *reinterpret_cast<const T*>(data + i * strides[0] + j * strides[1] + k * strides[2] +
                                           l * strides[3]);
    }

    // True when rows (N == 2) or elements (N == 1) lie densely in C order.
    bool contiguous() const { return detail::c_ordered<N>(shape, strides, sizeof(T)); }

    // A C-ordered view over `rows` x `cols` elements at `data`.
    static StridedView dense(const T* data, std::ptrdiff_t rows,
                             std::ptrdiff_t cols) requires(N == 2) {
        const auto item = static_cast<std::ptrdiff_t>(sizeof(T));
        return {reinterpret_cast<const char*>(data), {rows, cols}, {cols * item, item}};
    }
};

// The elements of a one-dimensional view, copied in order.
template <class T>
std::vector<T> to_vector(const StridedView<T, 1>& a) {
    std::vector<T> out(static_cast<std::size_t>(a.size()));
    for (std::ptrdiff_t i = 0; i < a.size(); ++i) out[static_cast<std::size_t>(i)] = a.at(i);
    return out;
}

// The same for memory that the caller lets us write.
template <class T, int N>
struct MutableStridedView {
    char* data = nullptr;
    std::array<std::ptrdiff_t, N> shape{};
    std::array<std::ptrdiff_t, N> strides{};

    std::ptrdiff_t size(int axis = 0) const { return shape[axis]; }

    T& at(std::ptrdiff_t i) const requires(N == 1) {
        return *reinterpret_cast<T*>(data + i * strides[0]);
    }
    T& at(std::ptrdiff_t i, std::ptrdiff_t j) const requires(N == 2) {
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }

    bool contiguous() const { return detail::c_ordered<N>(shape, strides, sizeof(T)); }
};

}  // namespace orvik
