#include "frame/errors.hpp"

#include <cstring>

#include "frame/ref.hpp"

namespace orvik::py {
namespace {
// Process-wide, like the module's types (frame/object.hpp says why).
PyObject* g_internal_error = nullptr;
}  // namespace

PyObject* internal_error_type() {
    return g_internal_error;
}

int init_internal_error_type() {
    if (g_internal_error) return 0;
    // Derives from BaseException so that `except Exception` does not swallow a
    // broken invariant. Not added to the module namespace.
    g_internal_error = PyErr_NewExceptionWithDoc(
        "orvik.InternalError",
        "A broken internal invariant of the orvik native core; the module stays usable.",
        PyExc_BaseException, nullptr);
    return g_internal_error ? 0 : -1;
}

void raise_internal(const std::string& message) {
    PyObject* type = g_internal_error ? g_internal_error : PyExc_SystemError;
    PyErr_SetString(type, message.c_str());
}

void raise_value(const std::string& message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
}

void raise_error(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Value:
            raise_value(error.message);
            return;
        case ErrorKind::Internal:
            raise_internal(error.message);
            return;
        // Only AllowThreads::interrupt() asks a loop to stop, once a signal
        // handler has raised: its exception is already set.
        case ErrorKind::Interrupted:
            return;
        case ErrorKind::System: {
            // OSError(errno, text) picks the subclass that errno names.
            Ref exc = Ref::steal(
                PyObject_CallFunction(PyExc_OSError, "is", error.code,
                                      (error.message + ": " + std::strerror(error.code)).c_str()));
            if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
            return;
        }
    }
}

void add_argument_note(const char* param) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
    if (note) {
        Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!r) {
            // Keep the original failure; the note is a courtesy.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace orvik::py
