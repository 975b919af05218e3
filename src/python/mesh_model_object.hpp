// PyMeshModel objects as other binding files see them: the instance holds an
// optional MeshModel (empty once model_tree() has consumed it).
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "frame/object.hpp"
#include "frame/python.hpp"
#include "frame/ref.hpp"
#include "model/mesh_model.hpp"

namespace orvik::py {

using MeshModelSlot = std::optional<MeshModel>;
using MeshModelObject = Instance<MeshModelSlot>;

inline constexpr const char* kMeshModelConsumed = "MeshModel has been consumed by model_tree()";

// A new PyMeshModel that owns `model`. NULL with an exception set on failure.
inline PyObject* new_mesh_model_object(MeshModel&& model) {
    return new_instance(mesh_model_type(), MeshModelSlot(std::move(model)));
}

// The held model and the borrow counter of a PyMeshModel (`o` must be one:
// check with check_instance(o, mesh_model_type(), "PyMeshModel", param)).
// To consume, hold BorrowGuard::exclusive(mesh_model_flag(o)), check that the
// slot holds a model, then move it out and reset the slot.
inline MeshModelSlot& mesh_model_slot(PyObject* o) { return as_instance<MeshModelSlot>(o)->value; }
inline BorrowFlag& mesh_model_flag(PyObject* o) { return as_instance<MeshModelSlot>(o)->flag; }

// Takes the model out of a PyMeshModel already borrowed exclusively by the
// caller; nothing when it was consumed before.
inline MeshModelSlot take_mesh_model(PyObject* o) {
    MeshModelSlot& slot = mesh_model_slot(o);
    MeshModelSlot taken = std::move(slot);
    slot.reset();
    return taken;
}

namespace detail {
inline PyObject* float_tuple(const float* values, int n) {
    Ref t = Ref::steal(PyTuple_New(n));
    if (!t) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* f = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (!f) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, f);
    }
    return t.release();
}

inline bool set_item(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}
}  // namespace detail

// The model view record: "id", "name", "bounds", "transform", "priority",
// "vertical", "size", in that order. NULL with an exception set on failure.
inline PyObject* model_view_dict(const MeshModel& model) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!detail::set_item(d, "id", PyLong_FromUnsignedLongLong(model.id))) return nullptr;
    if (!detail::set_item(d, "name", PyUnicode_FromStringAndSize(
                                         model.name.data(), static_cast<Py_ssize_t>(model.name.size())))) {
        return nullptr;
    }
    if (!detail::set_item(d, "bounds", detail::float_tuple(model.bounds.data(), 6))) return nullptr;
    PyObject* transform = model.transform ? detail::float_tuple(model.transform->data(), 16)
                                          : Py_NewRef(Py_None);
    if (!detail::set_item(d, "transform", transform)) return nullptr;
    if (!detail::set_item(d, "priority", PyLong_FromLong(model.priority))) return nullptr;
    const char* vertical = model.vertical == VerticalMode::Depth ? "Depth" : "Elevation";
    if (!detail::set_item(d, "vertical", PyUnicode_FromString(vertical))) return nullptr;
    if (!detail::set_item(d, "size", PyLong_FromUnsignedLongLong(MeshModel::size_estimate(model)))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace orvik::py
