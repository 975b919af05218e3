#include "frame/convert.hpp"

#include <cstring>

#include "frame/errors.hpp"
#include "frame/ref.hpp"

namespace orvik::py {
namespace {

bool fail(const char* param) {
    add_argument_note(param);
    return false;
}

bool is_numpy_bool(PyObject* o) {
    // numpy.bool_ is the only scalar type named "numpy.bool" (NumPy 2).
    const char* name = Py_TYPE(o)->tp_name;
    return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

}  // namespace

bool type_mismatch(PyObject* o, const char* required, const char* param) {
    if (o == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
    } else {
        Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(o)));
        if (name) {
            PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(),
                         required);
        }
    }
    return fail(param);
}

bool to_f64(PyObject* o, const char* param, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return fail(param);
    out = v;
    return true;
}

bool to_f32(PyObject* o, const char* param, float& out) {
    double v;
    if (!to_f64(o, param, v)) return false;
    out = static_cast<float>(v);
    return true;
}

bool to_priority(PyObject* o, const char* param, std::uint8_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return fail(param);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return fail(param);
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_SetString(PyExc_OverflowError, "number too small to fit in target type");
        return fail(param);
    }
    if (overflow > 0 || v > 255) {
        PyErr_SetString(PyExc_OverflowError, "number too large to fit in target type");
        return fail(param);
    }
    out = static_cast<std::uint8_t>(v);
    return true;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
    if (PyBool_Check(o)) {
        out = o == Py_True;
        return true;
    }
    if (is_numpy_bool(o)) {
        const int r = PyObject_IsTrue(o);
        if (r < 0) return fail(param);
        out = r != 0;
        return true;
    }
    return type_mismatch(o, "bool", param);
}

bool to_string(PyObject* o, const char* param, std::string& out) {
    if (!PyUnicode_Check(o)) return type_mismatch(o, "str", param);
    Py_ssize_t size = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &size);
    if (!s) return fail(param);
    out.assign(s, static_cast<std::size_t>(size));
    return true;
}

bool to_u64(PyObject* o, const char* param, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return fail(param);
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail(param);
    out = v;
    return true;
}

bool check_sequence(PyObject* o, const char* param) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return fail(param);
    }
    if (!PySequence_Check(o)) return type_mismatch(o, "Sequence", param);
    return true;
}

bool check_instance(PyObject* o, PyTypeObject* type, const char* type_name, const char* param,
                    bool allow_subclass) {
    if (type && (Py_IS_TYPE(o, type) || (allow_subclass && PyObject_TypeCheck(o, type))))
        return true;
    return type_mismatch(o, type_name, param);
}

}  // namespace orvik::py
