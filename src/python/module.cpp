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

int add_registration(PyObject* module, const Registration& reg) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return -1;
        }
    }
    PyObject* object = reg.make(module);
    int rc = -1;
    if (object && PyModule_AddObjectRef(module, reg.name, object) == 0) {
        PyObject* name = PyUnicode_FromString(reg.name);
        rc = name ? PyList_Append(all, name) : -1;
        Py_XDECREF(name);
    }
    Py_XDECREF(object);
    Py_DECREF(all);
    return rc;
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
    // The module keeps no state of its own; instances guard themselves with
    // atomic borrow counters and the array registry has its own lock.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "orvik",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyObject* make_function(PyObject* module, PyMethodDef* def) {
    // The third argument becomes __module__. The extension is imported as
    // orvik.orvik, but its functions, like its classes, belong to "orvik",
    // the public home that re-exports them (pickle and help() look there).
    PyModuleDef* module_def = PyModule_GetDef(module);
    if (!module_def) {
        PyErr_SetString(PyExc_SystemError, "orvik: the module has no definition");
        return nullptr;
    }
    PyObject* name = PyUnicode_FromString(module_def->m_name);
    if (!name) return nullptr;
    PyObject* function = PyCMethod_New(def, nullptr, name, nullptr);
    Py_DECREF(name);
    return function;
}

}  // namespace orvik::py

PyMODINIT_FUNC PyInit_orvik(void) { return PyModuleDef_Init(&orvik::py::module_def); }
