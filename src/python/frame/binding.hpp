// Binding of call arguments to parameters, by position or keyword, with the
// interpreter's own TypeError wordings.
#pragma once

#include "frame/python.hpp"

#include <cstddef>

namespace orvik::py {

// `name` is how messages name the callable: "blend_many", "PyModelTree.query",
// "QueryParams.__new__". The first `required` parameters have no default.
struct Signature {
    const char* name;
    const char* const* params;
    std::size_t count;
    std::size_t required;
};

// Fills slots[0..count) with borrowed references, nullptr for an omitted
// optional parameter. Returns false with a TypeError set.
bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);

// The same for the (args, kwargs) pair of tp_new.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace orvik::py
