// The module definition: multi-phase initialisation whose execution step
// registers the public names, in a fixed order, into the module and __all__.
#include "frame/python.hpp"

#include "bindings.hpp"
#include "frame/errors.hpp"
#include "frame/registration.hpp"

namespace orvik::py {
namespace {

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

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "orvik: the execution step needs a module object");
        return -1;
    }
    return guarded([&]() -> int {
        if (prepare_frame() < 0) return -1;
        return register_names(module, kRegistrations);
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
