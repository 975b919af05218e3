#include "frame/object.hpp"

namespace orvik::py {

bool BorrowGuard::shared(BorrowFlag& flag) {
    release();
    if (!flag.try_shared()) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    flag_ = &flag;
    exclusive_ = false;
    return true;
}

bool BorrowGuard::exclusive(BorrowFlag& flag) {
    release();
    if (!flag.try_exclusive()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    flag_ = &flag;
    exclusive_ = true;
    return true;
}

PyTypeObject* create_type(PyObject* module, PyType_Spec* spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, spec, nullptr));
}

}  // namespace orvik::py
