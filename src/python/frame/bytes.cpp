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

}  // namespace orvik::py
