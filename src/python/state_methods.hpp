// Pickling and copying: each class's __reduce__ and, for the classes that
// hold a native record, the private class method __from_state that reads the
// record's binary state back (src/state). The binding files list these in
// their method tables; nothing else is registered in the module.
#pragma once

#include "frame/python.hpp"

namespace orvik::py {

inline constexpr const char kReduceDoc[] =
    "__reduce__($self, /)\n--\n\n"
    "Return the state used by pickle and copy: the object's binary state and\n"
    "the class method that reads it back.";

inline constexpr const char kReduceExDoc[] =
    "__reduce_ex__($self, protocol, /)\n--\n\n"
    "As __reduce__; with protocol 5 or later the state is a PickleBuffer, so\n"
    "that it can travel out of band, without a copy.";

inline constexpr const char kFromStateDoc[] =
    "__from_state($type, state)\n--\n\n"
    "Rebuild an instance from the binary state that pickling wrote.\n\n"
    "Raises\n"
    "------\n"
    "ValueError\n"
    "    If `state` is truncated, corrupted, from a newer format version, or\n"
    "    breaks an invariant of the object.";

inline constexpr const char kArgumentsReduceDoc[] =
    "__reduce__($self, /)\n--\n\n"
    "Return the state used by pickle and copy: the class and its constructor\n"
    "arguments.";

inline constexpr const char kBuilderReduceDoc[] =
    "__reduce__($self, /)\n--\n\n"
    "A builder cannot be pickled; pickle the model that a finisher returns.";

// __reduce__ of the classes that hold a record with a binary state.
PyObject* state_reduce(PyObject* self, PyObject*);

PyObject* tree_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// __from_state that binds its arguments under `name` ("PyGridModel.__from_state");
// the model holders' (held_models.hpp) call it.
PyObject* from_state_named(const char* name, PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

PyObject* grid_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

PyObject* coastline_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);

// __reduce_ex__ of the classes above: their __reduce__, with the state as a
// PickleBuffer from protocol 5 on.
PyObject* state_reduce_ex(PyObject* self, PyObject* protocol);

// The pickling entries of the method table of a class that holds a record
// with a binary state: __reduce__, __reduce_ex__ and the class method that
// reads the state back. A macro, as the entries go into a static array.
// clang-format off
#define ORVIK_STATE_METHODS(from_state)                                               \
    {.ml_name = "__reduce__", .ml_meth = method_cast(state_reduce),                   \
     .ml_flags = METH_NOARGS, .ml_doc = kReduceDoc},                                  \
    {.ml_name = "__reduce_ex__", .ml_meth = method_cast(state_reduce_ex),             \
     .ml_flags = METH_O, .ml_doc = kReduceExDoc},                                     \
    {.ml_name = "__from_state", .ml_meth = method_cast(from_state),                   \
     .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_CLASS, .ml_doc = kFromStateDoc}
// clang-format on

PyObject* query_params_reduce(PyObject* self, PyObject*);
PyObject* query_coordinates_reduce(PyObject* self, PyObject*);
PyObject* builder_reduce(PyObject* self, PyObject*);

}  // namespace orvik::py
