#include "frame/object.hpp"

#include "frame/ref.hpp"

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

PyTypeObject* HeapType::get(PyObject* module) {
    if (type_) return type_;
    auto* type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, definition_, nullptr));
    if (!type) return nullptr;
    if (prepare_ && prepare_(type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    type_ = type;
    return type_;
}

PyObject* HeapType::new_reference(PyObject* module) {
    PyTypeObject* type = get(module);
    return type ? Py_NewRef(reinterpret_cast<PyObject*>(type)) : nullptr;
}

PyObject* make_function(PyMethodDef* def, const char* module_name) {
    // The third argument becomes __module__.
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    if (!name) return nullptr;
    return PyCMethod_New(def, nullptr, name.get(), nullptr);
}

}  // namespace orvik::py
