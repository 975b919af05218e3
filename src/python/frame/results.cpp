#include "frame/results.hpp"

#include <vector>

#include "frame/arrays.hpp"
#include "frame/ref.hpp"

namespace orvik::py {

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(std::string_view utf8) {
    return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* float_tuple(const float* values, int n) {
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (!f) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), i, f);
    }
    return tuple.release();
}

PyObject* quality_dict(const Quality& q) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const Quality::Columns values = q.columns();
    for (std::size_t k = 0; k < kQualityColumns; ++k) {
        if (!set_item(dict.get(), kQualityNames[k],
                      PyFloat_FromDouble(static_cast<double>(values[k]))))
            return nullptr;
    }
    return dict.release();
}

PyObject* optional_quality(const std::optional<Quality>& q) {
    return q ? quality_dict(*q) : Py_NewRef(Py_None);
}

PyObject* box_arrays(const std::array<float, 6>& box) {
    Ref lo = Ref::steal(make_array(std::vector<float>{box[0], box[1], box[2]}, {3}));
    if (!lo) return nullptr;
    Ref hi = Ref::steal(make_array(std::vector<float>{box[3], box[4], box[5]}, {3}));
    if (!hi) return nullptr;
    return PyTuple_Pack(2, lo.get(), hi.get());
}

}  // namespace orvik::py
