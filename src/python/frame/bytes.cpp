#include "frame/bytes.hpp"

#include "frame/errors.hpp"

namespace orvik::py {

bool BytesArg::extract(PyObject* o, const char* param) {
    if (held_) {
        PyBuffer_Release(&buffer_);
        held_ = false;
    }
    // PyBUF_SIMPLE asks for one contiguous run of bytes.
    if (PyObject_GetBuffer(o, &buffer_, PyBUF_SIMPLE) < 0) {
        add_argument_note(param);
        return false;
    }
    held_ = true;
    return true;
}

std::shared_ptr<const void> BytesArg::lender() const {
    if (!held_ || !PyBytes_CheckExact(buffer_.obj)) return nullptr;
    PyObject* owner = Py_NewRef(buffer_.obj);
    return std::shared_ptr<const void>(owner, [](const void* kept) {
        // At exit the interpreter may no longer take a thread in; what is
        // left then goes with the process.
        if (Py_IsFinalizing()) return;
        const PyGILState_STATE gil = PyGILState_Ensure();
        Py_DECREF(static_cast<PyObject*>(const_cast<void*>(kept)));
        PyGILState_Release(gil);
    });
}

}  // namespace orvik::py
