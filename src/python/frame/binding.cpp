#include "frame/binding.hpp"

#include <string>

namespace orvik::py {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's joining style.
std::string join_names(const std::string* names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) {
            if (n > 2) out += ",";
            out += " ";
            if (i == n - 1) out += "and ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (sig.required != sig.count) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                     sig.required, sig.count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     sig.name, sig.count, given, verb);
    }
}

// Places one keyword argument; false with a TypeError set.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                   PyObject** slots) {
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
            if (static_cast<Py_ssize_t>(i) < nargs || slots[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.name, sig.params[i]);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
    return false;
}

bool check_missing(const Signature& sig, PyObject** slots) {
    std::string missing[16];
    std::size_t n = 0;
    for (std::size_t i = 0; i < sig.required && n < 16; ++i) {
        if (!slots[i]) missing[n++] = sig.params[i];
    }
    if (n == 0) return true;
    std::string names = join_names(missing, n);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.name,
                 n, n == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace

bool bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
    nargs = PyVectorcall_NARGS(nargs);
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    if (nargs > static_cast<Py_ssize_t>(sig.count)) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, slots))
                return false;
        }
    }
    return check_missing(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    for (std::size_t i = 0; i < sig.count; ++i) slots[i] = nullptr;
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > static_cast<Py_ssize_t>(sig.count)) {
        too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
                return false;
            }
            if (!place_keyword(sig, key, value, nargs, slots)) return false;
        }
    }
    return check_missing(sig, slots);
}

}  // namespace orvik::py
