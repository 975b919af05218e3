// PyMeshModel: the Python holder of one built mesh model.
#include <vector>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "mesh_model_object.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

PyTypeObject* g_mesh_model_type = nullptr;

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

PyObject* quality_dict(const Quality& q) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::pair<const char*, float> items[] = {{"rho", q.rho}, {"vp", q.vp}, {"vs", q.vs},
                                                   {"qp", q.qp},   {"qs", q.qs}, {"alpha", q.alpha}};
    for (const auto& [key, value] : items) {
        if (!detail::set_item(dict.get(), key, PyFloat_FromDouble(static_cast<double>(value)))) {
            return nullptr;
        }
    }
    return dict.release();
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
        const std::optional<Quality> q = MeshModel::query(*slot, x, y, z);
        if (!q) Py_RETURN_NONE;
        return quality_dict(*q);
    });
}

PyObject* mesh_aabb(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const MeshModel* model = held_model(self, borrow);
        if (!model) return nullptr;
        const auto& b = model->bounds;
        Ref lo = Ref::steal(make_array(std::vector<float>{b[0], b[1], b[2]}, {3}));
        if (!lo) return nullptr;
        Ref hi = Ref::steal(make_array(std::vector<float>{b[3], b[4], b[5]}, {3}));
        if (!hi) return nullptr;
        return PyTuple_Pack(2, lo.get(), hi.get());
    });
}

PyObject* mesh_view(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const MeshModel* model = held_model(self, borrow);
        if (!model) return nullptr;
        return model_view_dict(*model);
    });
}

PyObject* mesh_get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const MeshModel* model = held_model(self, borrow);
        if (!model) return nullptr;
        return PyUnicode_FromStringAndSize(model->name.data(),
                                           static_cast<Py_ssize_t>(model->name.size()));
    });
}

PyObject* mesh_get_priority(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const MeshModel* model = held_model(self, borrow);
        if (!model) return nullptr;
        return PyLong_FromLong(model->priority);
    });
}

PyMethodDef mesh_methods[] = {
    {
        .ml_name = "query",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mesh_query)),
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
        .ml_meth = mesh_aabb,
        .ml_flags = METH_NOARGS,
        .ml_doc = "aabb($self)\n--\n\n"
                  "Return the 3-D axis-aligned bounding box of this mesh model.\n\n"
                  "Returns a pair ``(min_xyz, max_xyz)`` of shape-``(3,)`` float32 arrays.\n\n"
                  "# Errors\n\n"
                  "Returns `ValueError` if the model has been consumed by `model_tree()`.",
    },
    {
        .ml_name = "view",
        .ml_meth = mesh_view,
        .ml_flags = METH_NOARGS,
        .ml_doc = "view($self)\n--\n\n"
                  "Return a serialisable Python dict describing this mesh model.\n\n"
                  "# Errors\n\n"
                  "Returns `ValueError` if the model has been consumed by `model_tree()`.",
    },
    {
        .ml_name = "__reduce__",
        .ml_meth = mesh_model_reduce,
        .ml_flags = METH_NOARGS,
        .ml_doc = kReduceDoc,
    },
    {
        .ml_name = "__from_state",
        .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(mesh_model_from_state)),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
        .ml_doc = kFromStateDoc,
    },
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef mesh_getset[] = {
    {
        .name = "name",
        .get = mesh_get_name,
        .set = nullptr,
        .doc = "Human-readable name assigned at construction time.\n\n"
               "# Errors\n\n"
               "Returns `ValueError` if the model has been consumed by `model_tree()`.",
        .closure = nullptr,
    },
    {
        .name = "priority",
        .get = mesh_get_priority,
        .set = nullptr,
        .doc = "Model priority (lower number = higher priority in the tree).\n\n"
               "# Errors\n\n"
               "Returns `ValueError` if the model has been consumed by `model_tree()`.",
        .closure = nullptr,
    },
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot mesh_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Python-facing single tetrahedral mesh model.\n\n"
                    "Wraps a [`MeshModel`] and exposes query, AABB, name, and priority.\n"
                    "Consumed (moved into a [`ModelTree`]) when passed to [`model_tree`].")},
    {Py_tp_methods, mesh_methods},
    {Py_tp_getset, mesh_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MeshModelSlot>)},
    {0, nullptr},
};

PyType_Spec mesh_spec = {
    .name = "orvik.PyMeshModel",
    .basicsize = sizeof(MeshModelObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = mesh_slots,
};

}  // namespace

PyObject* make_PyMeshModel(PyObject* module) {
    if (!g_mesh_model_type) {
        PyTypeObject* type = create_type(module, &mesh_spec);
        if (!type) return nullptr;
        // Methods enter the class dict before properties; move `view` behind
        // `name` and `priority` so the class lists its members in order.
        PyObject* cls = reinterpret_cast<PyObject*>(type);
        Ref view = Ref::steal(PyObject_GetAttrString(cls, "view"));
        if (!view || PyObject_DelAttrString(cls, "view") < 0 ||
            PyObject_SetAttrString(cls, "view", view.get()) < 0) {
            Py_DECREF(cls);
            return nullptr;
        }
        g_mesh_model_type = type;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(g_mesh_model_type));
}

PyTypeObject* mesh_model_type() { return g_mesh_model_type; }

}  // namespace orvik::py
