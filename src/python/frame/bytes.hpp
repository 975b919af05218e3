// Byte strings in and out: a bytes-like argument read in place for the call,
// and a new bytes object that native code fills directly.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <memory>
#include <span>

#include "frame/ref.hpp"

namespace orvik::py {

// A C-contiguous bytes-like argument (bytes, bytearray, memoryview, ...),
// held through the buffer protocol until the end of the call; a resizable
// object cannot change size meanwhile.
class BytesArg {
  public:
    BytesArg() = default;
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;
    ~BytesArg() {
        if (held_) PyBuffer_Release(&buffer_);
    }

    // The interpreter's own TypeError for an object without a contiguous
    // buffer, with the note for `param`.
    bool extract(PyObject* o, const char* param);

    std::span<const std::byte> view() const {
        return {static_cast<const std::byte*>(buffer_.buf), static_cast<std::size_t>(buffer_.len)};
    }

    // When the argument is a bytes object (immutable, and its bytes never
    // move), a keeper of it that lets native records borrow view()'s bytes
    // past the call; nullptr for any other object, whose bytes may change or
    // go once the call returns. The keeper may be dropped on any thread.
    std::shared_ptr<const void> lender() const;

  private:
    Py_buffer buffer_{};
    bool held_ = false;
};

// A new bytes object of exactly `size` bytes written by `fill(span)`. NULL
// with an exception set when it cannot be allocated.
template <class Fill>
PyObject* make_bytes(std::size_t size, Fill&& fill) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    fill(std::span<std::byte>(reinterpret_cast<std::byte*>(PyBytes_AS_STRING(bytes.get())), size));
    return bytes.release();
}

}  // namespace orvik::py
