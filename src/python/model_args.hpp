// Arguments that the constructors of every model kind take alike: the
// vertical mode, given as a text, and a 4x4 world-to-local transform.
#pragma once

#include "frame/python.hpp"

#include <optional>

#include "model/placement.hpp"

namespace orvik::py {

// "elevation" or "depth"; any other text is the ValueError "vertical must be
// 'elevation' or 'depth', got {quoted}", a non-str the argument error.
bool to_vertical(PyObject* o, const char* param, VerticalMode& out);

// None (or omitted, `o` null) for no transform, else a float32 array of
// shape (4, 4), read row by row: "transform must have shape (4, 4); got
// (2, 8)" otherwise.
bool to_optional_transform(PyObject* o, const char* param, std::optional<Transform>& out);

// A name: omitted (`o` null) gives the empty name.
bool to_optional_name(PyObject* o, const char* param, std::string& out);

}  // namespace orvik::py
