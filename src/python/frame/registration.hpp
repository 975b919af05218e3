// What the execution step of every module of this library does: prepare the
// frame once and register a table of names, in order, into the module and its
// __all__.
#pragma once

#include "frame/python.hpp"

#include <span>

namespace orvik::py {

struct Registration {
    const char* name;
    PyObject* (*make)(PyObject* module);
};

// Imports NumPy's C API and makes the frame's process-wide objects (the
// internal error, the slice container, the main thread's identity). Safe to
// call from each module's execution step; 0, or -1 with an exception set.
int prepare_frame();

// Gives `module` an __all__ and adds the object of each registration to the
// module and its name to __all__, in table order.
int register_names(PyObject* module, std::span<const Registration> table);

}  // namespace orvik::py
