// The module definition: multi-phase initialisation whose execution step
// registers the public names, in a fixed order, into the module and __all__.
#define ORVIK_IMPORT_ARRAY_HERE
#include "frame/python.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"

namespace orvik::py {
namespace {

struct Registration {
    const char* name;
    PyObject* (*make)(PyObject* module);
};

// The order of this table is the order of __all__; every entry is required.
const Registration kRegistrations[] = {
    {"QueryCoordinates", make_QueryCoordinates},
    {"QueryParams", make_QueryParams},
    {"PyMeshModel", make_PyMeshModel},
    {"PyModelTree", make_PyModelTree},
    {"MeshModelBuilder", make_MeshModelBuilder},
    {"model_tree", make_model_tree},
    {"blend_many", make_blend_many},
    {"StructuredGrid", make_StructuredGrid},
    {"structured_grid", make_structured_grid},
    {"adaptive_tin", make_adaptive_tin},
    {"PyCoastline", make_PyCoastline},
    {"coastline", make_coastline},
};

// Adds the object of `reg` to the module and its name to __all__, which the
// first registration creates.
int add_registration(PyObject* module, const Registration& reg) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return -1;
    }
    Ref object = Ref::steal(reg.make(module));
    if (!object || PyModule_AddObjectRef(module, reg.name, object.get()) < 0) return -1;
    Ref name = Ref::steal(PyUnicode_FromString(reg.name));
    if (!name) return -1;
    return PyList_Append(all.get(), name.get());
}

[[noreturn]] void terminate_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "orvik: the execution step needs a module object");
        return -1;
    }
    return guarded([&]() -> int {
        // A second failure while one is already unwinding cannot be raised.
        std::set_terminate(terminate_at_boundary);
        if (PyArray_ImportNumPyAPI() < 0) return -1;
        if (init_internal_error_type() < 0 || init_slice_container_type() < 0) return -1;
        if (init_main_thread() < 0) return -1;
        for (const Registration& reg : kRegistrations) {
            if (add_registration(module, reg) < 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // No global interpreter lock needed: the module keeps no state of its own,
    // instances guard themselves with atomic borrow counters and the array
    // registry has its own lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // One interpreter per process: the types and the internal error are
    // process-wide (frame/object.hpp says why).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = kModuleName,
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace orvik::py

PyMODINIT_FUNC PyInit_orvik(void) {
    return PyModuleDef_Init(&orvik::py::module_def);
}
