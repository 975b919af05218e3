// Results: native values as the Python objects that a call returns. Each
// function returns a new reference, or NULL with an exception set.
#pragma once

#include "frame/python.hpp"

#include <array>
#include <optional>
#include <string_view>

#include "quality/quality.hpp"

namespace orvik::py {

// dict[key] = value, taking over the new reference `value`; a NULL `value`
// (a failed conversion, its exception set) passes through. False with an
// exception set.
bool set_item(PyObject* dict, const char* key, PyObject* value);

// A str from UTF-8 text.
PyObject* text(std::string_view utf8);

// A tuple of `n` Python floats (float32 values widened exactly).
PyObject* float_tuple(const float* values, int n);

// The dict form of a quality: its column names (kQualityNames) as keys, in
// column order.
PyObject* quality_dict(const Quality& q);

// quality_dict, or None where there is no quality.
PyObject* optional_quality(const std::optional<Quality>& q);

// A box given as min xyz, max xyz as the pair (min_xyz, max_xyz) of (3,)
// float32 arrays.
PyObject* box_arrays(const std::array<float, 6>& box);

}  // namespace orvik::py
