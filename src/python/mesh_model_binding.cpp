// PyMeshModel: the Python holder of one built mesh model.
#include "bindings.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "frame/results.hpp"
#include "held_models.hpp"
#include "mesh_model_object.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// The instance, MeshModelObject, is declared in mesh_model_object.hpp.

// Shared borrow of the receiver, then the model or the consumed error.
const MeshModel* held_model(PyObject* self, BorrowGuard& borrow) {
    if (!borrow.shared(mesh_model_flag(self))) return nullptr;
    const MeshModelSlot& slot = mesh_model_slot(self);
    if (!slot) {
        raise_value(kMeshModelConsumed);
        return nullptr;
    }
    return &*slot;
}

constexpr const char* kQueryParams[] = {"x", "y", "z"};
constexpr Signature kQuerySignature{"PyMeshModel.query", kQueryParams, 3, 3};

PyObject* mesh_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kQuerySignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        if (!borrow.shared(mesh_model_flag(self))) return nullptr;
        float x, y, z;
        if (!to_f32(slots[0], "x", x) || !to_f32(slots[1], "y", y) || !to_f32(slots[2], "z", z)) {
            return nullptr;
        }
        const MeshModelSlot& slot = mesh_model_slot(self);
        if (!slot) {
            raise_value(kMeshModelConsumed);
            return nullptr;
        }
        return optional_quality(MeshModel::query(*slot, x, y, z));
    });
}

// A method without parameters (Unused = PyObject) or a property getter
// (Unused = void) that reads the held model under a shared borrow.
template <PyObject* (*Read)(const MeshModel&), class Unused>
PyObject* read_model(PyObject* self, Unused*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const MeshModel* model = held_model(self, borrow);
        return model ? Read(*model) : nullptr;
    });
}

PyObject* aabb_of(const MeshModel& model) {
    return box_arrays(model.bounds);
}
PyObject* name_of(const MeshModel& model) {
    return text(model.name);
}
PyObject* priority_of(const MeshModel& model) {
    return PyLong_FromLong(model.priority);
}

PyMethodDef mesh_methods[] = {
    {
        .ml_name = "query",
        .ml_meth = method_cast(mesh_query),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query($self, x, y, z)\n--\n\n"
                  "Query the mesh model at a single point.\n\n"
                  "Returns a dict with keys `rho`, `vp`, `vs`, `qp`, `qs`, `alpha`,\n"
                  "or `None` if the point lies outside this model's region.\n\n"
                  "# Errors\n\n"
                  "Returns `ValueError` if the model has been consumed by `model_tree()`.",
    },
    {
        .ml_name = "aabb",
        .ml_meth = method_cast(read_model<aabb_of, PyObject>),
        .ml_flags = METH_NOARGS,
        .ml_doc = "aabb($self)\n--\n\n"
                  "Return the 3-D axis-aligned bounding box of this mesh model.\n\n"
                  "Returns a pair ``(min_xyz, max_xyz)`` of shape-``(3,)`` float32 arrays.\n\n"
                  "# Errors\n\n"
                  "Returns `ValueError` if the model has been consumed by `model_tree()`.",
    },
    {
        .ml_name = "view",
        .ml_meth = method_cast(read_model<model_view_dict, PyObject>),
        .ml_flags = METH_NOARGS,
        .ml_doc = "view($self)\n--\n\n"
                  "Return a serialisable Python dict describing this mesh model.\n\n"
                  "# Errors\n\n"
                  "Returns `ValueError` if the model has been consumed by `model_tree()`.",
    },
    ORVIK_STATE_METHODS(held_from_state<MeshModel>),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyGetSetDef mesh_getset[] = {
    {
        .name = "name",
        .get = read_model<name_of, void>,
        .set = nullptr,
        .doc = "Human-readable name assigned at construction time.\n\n"
               "Raises\n"
               "------\n"
               "ValueError\n"
               "    If the model has been consumed by `model_tree()`.",
        .closure = nullptr,
    },
    {
        .name = "priority",
        .get = read_model<priority_of, void>,
        .set = nullptr,
        .doc = "Model priority (lower number = higher priority in the tree).\n\n"
               "Raises\n"
               "------\n"
               "ValueError\n"
               "    If the model has been consumed by `model_tree()`.",
        .closure = nullptr,
    },
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot mesh_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Python-facing single tetrahedral mesh model.\n\n"
                       "Wraps one native mesh model (a `MeshModel`) and exposes query, AABB,\n"
                       "name and priority. Consumed when passed to `model_tree`: the model moves\n"
                       "into the new `PyModelTree`, and this object answers no more.")},
    {Py_tp_methods, mesh_methods},
    {Py_tp_getset, mesh_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MeshModelSlot>)},
    {0, nullptr},  // sentinel
};

PyType_Spec mesh_spec = {
    .name = "orvik.PyMeshModel",
    .basicsize = sizeof(MeshModelObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = mesh_slots,
};

// Methods enter the class dict before properties; `view` moves behind `name`
// and `priority` so that the class lists its members in order.
int list_view_last(PyTypeObject* type) {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    Ref view = Ref::steal(PyObject_GetAttrString(cls, "view"));
    if (!view || PyObject_DelAttrString(cls, "view") < 0 ||
        PyObject_SetAttrString(cls, "view", view.get()) < 0) {
        return -1;
    }
    return 0;
}

HeapType mesh_model_class{mesh_spec, list_view_last};

}  // namespace

PyObject* make_PyMeshModel(PyObject* module) {
    return mesh_model_class.new_reference(module);
}

HeapType& mesh_model_type() {
    return mesh_model_class;
}

}  // namespace orvik::py
