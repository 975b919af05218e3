// orvik._native: the package's second extension module, for native classes
// and functions beyond the twelve names of orvik.orvik. It is defined in the
// same shared library (PEP 489 allows one library to export several PyInit_*
// functions), so it shares everything process-wide with orvik.orvik: the
// frame, the array registry, the internal error and the heap types, which
// are made on first use whichever module asks. The package's
// orvik/_native.py loads it from that library.
#include "frame/python.hpp"

#include "bindings.hpp"
#include "frame/errors.hpp"
#include "frame/registration.hpp"

namespace orvik::py {
namespace {

// The names of the module, in the order of its __all__.
const Registration kNativeRegistrations[] = {
    {"model_file_layout", make_model_file_layout},
    {"open_model_file", make_open_model_file},
    {"model_frame_end", make_model_frame_end},
    {"MappedFile", make_MappedFile},
    {"read_file", make_read_file},
    {"read_state", make_read_state},
    {"state_size", make_state_size},
    {"write_state", make_write_state},
    {"parse_rows", make_parse_rows},
    {"format_rows", make_format_rows},
    {"PyGridModel", make_PyGridModel},
    {"PyColumnsModel", make_PyColumnsModel},
    {"grid_model", make_grid_model},
    {"columns_model", make_columns_model},
    {"QUALITIES", make_QUALITIES},
};

int exec_native(PyObject* module) {
    return guarded([&]() -> int {
        if (prepare_frame() < 0) return -1;
        return register_names(module, kNativeRegistrations);
    });
}

PyModuleDef_Slot native_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_native)},
    // As orvik.orvik: no module state, self-guarding instances.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The process-wide types serve one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},  // sentinel
};

PyModuleDef native_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "orvik._native",
    .m_doc =
        "Native classes and functions of the orvik package beyond the twelve names of "
        "orvik.orvik; use them through the package (orvik.models, ...).",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = native_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace orvik::py

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&orvik::py::native_def);
}
