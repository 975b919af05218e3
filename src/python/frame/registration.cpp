// The NumPy API table of the whole library is defined here.
#define ORVIK_IMPORT_ARRAY_HERE
#include "frame/registration.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "frame/arrays.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/ref.hpp"

namespace orvik::py {
namespace {

[[noreturn]] void terminate_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

int add_registration(PyObject* module, PyObject* all, const Registration& reg) {
    Ref object = Ref::steal(reg.make(module));
    if (!object || PyModule_AddObjectRef(module, reg.name, object.get()) < 0) return -1;
    Ref name = Ref::steal(PyUnicode_FromString(reg.name));
    if (!name) return -1;
    return PyList_Append(all, name.get());
}

}  // namespace

int prepare_frame() {
    // A second failure while one is already unwinding cannot be raised.
    std::set_terminate(terminate_at_boundary);
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (init_internal_error_type() < 0 || init_slice_container_type() < 0) return -1;
    return init_main_thread();
}

int register_names(PyObject* module, std::span<const Registration> table) {
    Ref all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    for (const Registration& reg : table) {
        if (add_registration(module, all.get(), reg) < 0) return -1;
    }
    return 0;
}

}  // namespace orvik::py
