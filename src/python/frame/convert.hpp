// Conversions of bound arguments. Each returns false with the exception set
// and the note "while processing '{param}'" attached.
#pragma once

#include "frame/python.hpp"

#include <cstdint>
#include <string>

#include "frame/object.hpp"

namespace orvik::py {

bool to_f32(PyObject* o, const char* param, float& out);
bool to_f64(PyObject* o, const char* param, double& out);
bool to_priority(PyObject* o, const char* param, std::uint8_t& out);  // 0..255
bool to_bool(PyObject* o, const char* param, bool& out);              // bool or numpy.bool_
bool to_string(PyObject* o, const char* param, std::string& out);
// An int (or an object with __index__) from 0 to 2^64 - 1; the interpreter's
// own TypeError or OverflowError otherwise.
bool to_u64(PyObject* o, const char* param, std::uint64_t& out);

// Accepts a sequence that is not a str: "Can't extract `str` to `Vec`" for a
// str, the type-mismatch error naming "Sequence" otherwise.
bool check_sequence(PyObject* o, const char* param);

// "'{type}' object is not an instance of '{required}'" (or "'None' is not an
// instance of '{required}'"), with the note. Always returns false.
bool type_mismatch(PyObject* o, const char* required, const char* param);

// The object itself when it is an instance of `type` (exactly, or a subclass
// when `allow_subclass`); otherwise the type-mismatch error naming `type_name`.
bool check_instance(PyObject* o, PyTypeObject* type, const char* type_name, const char* param,
                    bool allow_subclass = false);
inline bool check_instance(PyObject* o, HeapType& type, const char* type_name, const char* param,
                           bool allow_subclass = false) {
    return check_instance(o, type.get(), type_name, param, allow_subclass);
}

}  // namespace orvik::py
