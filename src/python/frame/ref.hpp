// An owned reference to a Python object, released on every path.
#pragma once

#include "frame/python.hpp"

namespace orvik::py {

class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* o) { return Ref(o); }  // takes over a new reference
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = other.p_;
            other.p_ = nullptr;
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() {  // hands the reference to the caller
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace orvik::py
