// orvik._native's text rows (text/rows_text.hpp): the command line reads
// points and writes results with them, a block of lines at a time, with the
// interpreter lock released.
#include <cstdint>
#include <string>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/bytes.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "text/rows_text.hpp"

namespace orvik::py {
namespace {

constexpr const char* kParseParams[] = {"data", "columns", "first_line"};
constexpr Signature kParseSignature{"parse_rows", kParseParams, 3, 2};

// A count of at least `lo`.
bool to_count(PyObject* o, const char* param, std::uint64_t lo, std::uint64_t& out) {
    if (!to_u64(o, param, out)) return false;
    if (out < lo) {
        raise_value(std::string(param) + " must be at least " + std::to_string(lo) + "; got " +
                    std::to_string(out));
        return false;
    }
    return true;
}

PyObject* parse_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kParseSignature, args, nargs, kwnames, slots)) return nullptr;
        BytesArg data;
        std::uint64_t columns = 0, first_line = 1;
        if (!data.extract(slots[0], "data") || !to_count(slots[1], "columns", 1, columns) ||
            (slots[2] && !to_count(slots[2], "first_line", 1, first_line))) {
            return nullptr;
        }
        const auto bytes = data.view();
        Result<text::Rows> rows = Error::interrupted();
        {
            AllowThreads unlocked;
            rows = text::parse_rows({reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                                    columns, first_line, unlocked.interrupt());
        }
        if (!rows) {
            raise_error(rows.error());
            return nullptr;
        }
        const auto n = static_cast<npy_intp>(rows->count);
        return make_array(std::move(rows->values), {n, static_cast<npy_intp>(columns)});
    });
}

PyMethodDef parse_rows_def = {
    .ml_name = "parse_rows",
    .ml_meth = method_cast(parse_rows),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "parse_rows(data, columns, first_line=1)\n--\n\n"
        "Read lines of exactly *columns* finite numbers from the bytes *data*.\n\n"
        "Values are separated by spaces or tabs, optionally with one comma among\n"
        "them; CR LF ends a line like LF; blank lines and lines whose first\n"
        "non-blank character is ``#`` are skipped. Returns a float64 array of shape\n"
        "``(rows, columns)``. Runs with the interpreter lock released.\n\n"
        "Raises\n"
        "------\n"
        "ValueError\n"
        "    \"line {L}, column {C}: ...\" at the first value it cannot read (the\n"
        "    first line of *data* is line *first_line*, columns count bytes from 1).",
};

// The text written straight into a bytes object of the largest size it can
// take, then cut to its length.
template <class T>
PyObject* formatted(StridedView<T, 2> values, char separator) {
    const std::size_t bound = text::formatted_bound(values);
    if (bound > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bound));
    if (!bytes) return nullptr;
    std::size_t length;
    {
        AllowThreads unlocked;
        length = text::format_rows(values, separator, PyBytes_AS_STRING(bytes));
    }
    if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(length)) < 0) return nullptr;
    return bytes;
}

constexpr const char* kFormatParams[] = {"values", "separator"};
constexpr Signature kFormatSignature{"format_rows", kFormatParams, 2, 1};

PyObject* format_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kFormatSignature, args, nargs, kwnames, slots)) return nullptr;
        char separator = ' ';
        if (slots[1]) {
            std::string s;
            if (!to_string(slots[1], "separator", s)) return nullptr;
            if (s.size() != 1) {
                raise_value("separator must be one ASCII character; got " +
                            std::to_string(s.size()) + " bytes");
                return nullptr;
            }
            separator = s[0];
        }
        if (is_array_of(slots[0], NPY_FLOAT64, 2)) {
            ArrayArg<double, 2> values;
            if (!values.extract(slots[0], "values")) return nullptr;
            return formatted(values.view(), separator);
        }
        ArrayArg<float, 2> values;
        if (!values.extract(slots[0], "values")) return nullptr;
        return formatted(values.view(), separator);
    });
}

PyMethodDef format_rows_def = {
    .ml_name = "format_rows",
    .ml_meth = method_cast(format_rows),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "format_rows(values, separator=' ')\n--\n\n"
        "The rows of the float32 or float64 array *values* ``(rows, columns)`` as\n"
        "bytes of text: one line per row, its values separated by *separator*. Each\n"
        "value is the shortest decimal that reads back to the same float (``nan``,\n"
        "``inf``, ``-inf`` for the others). Runs with the interpreter lock\n"
        "released.",
};

}  // namespace

PyObject* make_parse_rows(PyObject*) {
    return make_function(&parse_rows_def, kNativeModuleName);
}

PyObject* make_format_rows(PyObject*) {
    return make_function(&format_rows_def, kNativeModuleName);
}

}  // namespace orvik::py
