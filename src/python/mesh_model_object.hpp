// PyMeshModel objects as other binding files see them: the instance holds an
// optional MeshModel (empty once model_tree() has consumed it).
#pragma once

#include "frame/python.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "frame/results.hpp"
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
inline MeshModelSlot& mesh_model_slot(PyObject* o) {
    return as_instance<MeshModelSlot>(o)->value;
}
inline BorrowFlag& mesh_model_flag(PyObject* o) {
    return as_instance<MeshModelSlot>(o)->flag;
}

// Takes the model out of a PyMeshModel already borrowed exclusively by the
// caller; nothing when it was consumed before.
inline MeshModelSlot take_mesh_model(PyObject* o) {
    MeshModelSlot& slot = mesh_model_slot(o);
    MeshModelSlot taken = std::move(slot);
    slot.reset();
    return taken;
}

// The model view record: "id", "name", "bounds", "transform", "priority",
// "vertical", "size", in that order, of the model with these fields (any
// kind has them). NULL with an exception set on failure.
inline PyObject* view_record(std::uint64_t id, const std::string& name,
                             const std::array<float, 6>& bounds,
                             const std::optional<std::array<float, 16>>& transform,
                             std::uint8_t priority, VerticalMode mode, std::uint64_t size) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const char* vertical = mode == VerticalMode::Depth ? "Depth" : "Elevation";
    if (!set_item(d, "id", PyLong_FromUnsignedLongLong(id)) || !set_item(d, "name", text(name)) ||
        !set_item(d, "bounds", float_tuple(bounds.data(), 6)) ||
        !set_item(d, "transform",
                  transform ? float_tuple(transform->data(), 16) : Py_NewRef(Py_None)) ||
        !set_item(d, "priority", PyLong_FromLong(priority)) ||
        !set_item(d, "vertical", PyUnicode_FromString(vertical)) ||
        !set_item(d, "size", PyLong_FromUnsignedLongLong(size))) {
        return nullptr;
    }
    return dict.release();
}

// The model view record of a mesh model.
inline PyObject* model_view_dict(const MeshModel& m) {
    return view_record(m.id, m.name, m.bounds, m.transform, m.priority, m.vertical,
                       MeshModel::size_estimate(m));
}

}  // namespace orvik::py
