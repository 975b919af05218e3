// NumPy arrays in and out: extraction by exact dtype and dimensionality (no
// conversion, no copy, any strides), the process-wide borrow registry, and
// results over native buffers owned by a PySliceContainer.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "common/strided.hpp"

namespace orvik::py {

template <class T>
constexpr int npy_type_of();
template <>
constexpr int npy_type_of<float>() {
    return NPY_FLOAT32;
}
template <>
constexpr int npy_type_of<double>() {
    return NPY_FLOAT64;
}
template <>
constexpr int npy_type_of<std::uint64_t>() {
    return NPY_UINT64;
}
template <>
constexpr int npy_type_of<std::int64_t>() {
    return NPY_INT64;
}
template <>
constexpr int npy_type_of<std::uint8_t>() {
    return NPY_UINT8;
}
template <>
constexpr int npy_type_of<bool>() {
    return NPY_BOOL;
}

// An ndarray (or subclass) with `ndim` dimensions and a dtype equivalent to `type_num`.
bool is_array_of(PyObject* o, int type_num, int ndim);

enum class Access { Read, Write };

// One registration in the process-wide array borrow registry. Overlapping
// reads coexist; a write excludes every overlapping borrow and needs a
// writeable array.
class ArrayBorrow {
  public:
    ArrayBorrow() = default;
    ArrayBorrow(const ArrayBorrow&) = delete;
    ArrayBorrow& operator=(const ArrayBorrow&) = delete;
    ArrayBorrow(ArrayBorrow&& o) noexcept : token_(o.token_) { o.token_ = 0; }
    ~ArrayBorrow() { release(); }

    // False with the internal error set when the borrow conflicts.
    bool acquire(PyArrayObject* array, Access access);
    void release();

  private:
    std::uint64_t token_ = 0;
};

// A converted and borrowed array argument.
template <class T, int N>
class ArrayArg {
  public:
    // Type check (type-mismatch TypeError naming "ndarray"), then the borrow;
    // either failure carries the note for `param`. Arrays kept by an object
    // for later calls go through here again at every call: NumPy lets their
    // owner reshape them in place meanwhile. `type_num` names the dtype when
    // T alone does not (bool arrays are read as std::uint8_t).
    bool extract(PyObject* o, const char* param, Access access = Access::Read,
                 int type_num = npy_type_of<T>());

    PyArrayObject* array() const { return array_; }
    std::ptrdiff_t size(int axis = 0) const { return PyArray_DIM(array_, axis); }

    StridedView<T, N> view() const {
        StridedView<T, N> v;
        v.data = static_cast<const char*>(PyArray_DATA(array_));
        for (int a = 0; a < N; ++a) {
            v.shape[a] = PyArray_DIM(array_, a);
            v.strides[a] = PyArray_STRIDE(array_, a);
        }
        return v;
    }
    MutableStridedView<T, N> mutable_view() const {
        MutableStridedView<T, N> v;
        v.data = static_cast<char*>(PyArray_DATA(array_));
        for (int a = 0; a < N; ++a) {
            v.shape[a] = PyArray_DIM(array_, a);
            v.strides[a] = PyArray_STRIDE(array_, a);
        }
        return v;
    }

  private:
    PyArrayObject* array_ = nullptr;
    ArrayBorrow borrow_;
};

bool extract_array_checked(PyObject* o, int type_num, int ndim, const char* param);
void add_argument_note(const char* param);

template <class T, int N>
bool ArrayArg<T, N>::extract(PyObject* o, const char* param, Access access, int type_num) {
    if (!extract_array_checked(o, type_num, N, param)) return false;
    array_ = reinterpret_cast<PyArrayObject*>(o);
    if (!borrow_.acquire(array_, access)) {
        add_argument_note(param);
        return false;
    }
    return true;
}

// A new C-ordered, writeable array over the buffer, whose base is a
// PySliceContainer that owns it (`drop(owner)` frees it, also when this
// fails). NULL with an exception set on failure.
PyObject* wrap_buffer(void* owner, void (*drop)(void*), void* data, std::size_t len,
                      std::size_t cap, int type_num, std::initializer_list<npy_intp> dims);

// Takes `data` over without copying. For a bool result pass a vector of
// std::uint8_t (0 or 1) and NPY_BOOL.
template <class T>
PyObject* make_array(std::vector<T>&& data, std::initializer_list<npy_intp> dims,
                     int type_num = npy_type_of<T>()) {
    auto* owner = new std::vector<T>(std::move(data));
    return wrap_buffer(
        owner, [](void* p) { delete static_cast<std::vector<T>*>(p); }, owner->data(),
        owner->size(), owner->capacity(), type_num, dims);
}

// Memory for a result array that a native loop fills completely: not
// zero-filled, and from a few MiB on aligned to and advised for huge pages,
// so that the first writes fault it in 2 MiB at a time rather than 4 KiB.
// Throws std::bad_alloc when memory runs out.
class ResultBuffer {
  public:
    explicit ResultBuffer(std::size_t bytes);
    ~ResultBuffer();
    ResultBuffer(const ResultBuffer&) = delete;
    ResultBuffer& operator=(const ResultBuffer&) = delete;

    template <class T>
    T* as() const {
        return static_cast<T*>(data_);
    }

    // A new C-ordered array of `count` elements of `type_num` over the
    // memory, which it takes over (also when this fails).
    PyObject* into_array(std::size_t count, int type_num, std::initializer_list<npy_intp> dims);

  private:
    void* data_ = nullptr;
};

int init_slice_container_type();

}  // namespace orvik::py
