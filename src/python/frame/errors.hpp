// Turning native failures into Python exceptions, and the one guard that
// keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include "frame/python.hpp"

#include <exception>
#include <new>
#include <string>

#include "common/result.hpp"

namespace orvik::py {

// The module's internal-error exception type (derives directly from
// BaseException). Created by the module's execution step.
PyObject* internal_error_type();
int init_internal_error_type();

// Each sets the Python error indicator; the callers return NULL or -1.
void raise_internal(const std::string& message);
void raise_value(const std::string& message);
void raise_error(const Error& error);  // by the error's kind

// Attaches "while processing '{param}'" to the exception being raised.
void add_argument_note(const char* param);

// Runs `body` (returning PyObject* or int); any C++ exception becomes the
// internal error (MemoryError for std::bad_alloc). Use at every entry point.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("unknown native failure");
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return R(-1);
    }
}

}  // namespace orvik::py
