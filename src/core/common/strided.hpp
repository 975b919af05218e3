// A borrowed view of caller memory with arbitrary byte strides. The Python
// layer builds these from NumPy arrays; the core reads through them in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvik {

template <class T, int N>
struct StridedView {
    const char* data = nullptr;
    std::array<std::ptrdiff_t, N> shape{};
    std::array<std::ptrdiff_t, N> strides{};  // in bytes, may be negative

    std::ptrdiff_t size(int axis = 0) const { return shape[axis]; }

    const T& at(std::ptrdiff_t i) const
        requires(N == 1)
    {
        return *reinterpret_cast<const T*>(data + i * strides[0]);
    }
    const T& at(std::ptrdiff_t i, std::ptrdiff_t j) const
        requires(N == 2)
    {
        return *reinterpret_cast<const T*>(data + i * strides[0] + j * strides[1]);
    }
    const T& at(std::ptrdiff_t i, std::ptrdiff_t j, std::ptrdiff_t k) const
        requires(N == 3)
    {
        return *reinterpret_cast<const T*>(data + i * strides[0] + j * strides[1] +
                                           k * strides[2]);
    }

    // True when rows (N == 2) or elements (N == 1) lie densely in C order.
    bool contiguous() const {
        std::ptrdiff_t expect = sizeof(T);
        for (int a = N - 1; a >= 0; --a) {
            if (shape[a] > 1 && strides[a] != expect) return false;
            expect *= shape[a];
        }
        return true;
    }
};

// The same for memory that the caller lets us write.
template <class T, int N>
struct MutableStridedView {
    char* data = nullptr;
    std::array<std::ptrdiff_t, N> shape{};
    std::array<std::ptrdiff_t, N> strides{};

    std::ptrdiff_t size(int axis = 0) const { return shape[axis]; }

    T& at(std::ptrdiff_t i) const
        requires(N == 1)
    {
        return *reinterpret_cast<T*>(data + i * strides[0]);
    }
    T& at(std::ptrdiff_t i, std::ptrdiff_t j) const
        requires(N == 2)
    {
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }

    bool contiguous() const {
        std::ptrdiff_t expect = sizeof(T);
        for (int a = N - 1; a >= 0; --a) {
            if (shape[a] > 1 && strides[a] != expect) return false;
            expect *= shape[a];
        }
        return true;
    }
};

}  // namespace orvik
