#include "held_models.hpp"

#include <string>

#include "frame/ref.hpp"
#include "frame/results.hpp"
#include "mesh_model_object.hpp"

namespace orvik::py {
namespace {

PyObject* count(std::uint64_t n) {
    return PyLong_FromUnsignedLongLong(n);
}

PyObject* range(double lo, double hi) {
    return Py_BuildValue("(dd)", lo, hi);
}

// The mesh model's record keys from a model of another kind.
template <class Kind>
PyObject* placed_view(const Kind& m) {
    return view_record(m.id, m.name, m.bounds, m.transform, m.priority, m.vertical,
                       Kind::size_estimate(m));
}

bool add_axes(PyObject* d, PyObject* x, PyObject* y, PyObject* v) {
    Ref axes = Ref::steal(PyDict_New());
    return axes && set_item(axes.get(), "x", x) && set_item(axes.get(), "y", y) &&
           set_item(axes.get(), "v", v) && set_item(d, "axes", axes.release());
}

}  // namespace

PyObject* kind_view(const GridModel& m) {
    Ref dict = Ref::steal(placed_view(m));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    if (!set_item(d, "kind", PyUnicode_FromString(GridModel::kKindName)) ||
        !set_item(d, "shape",
                  Py_BuildValue("(KKK)", static_cast<unsigned long long>(m.x.size()),
                                static_cast<unsigned long long>(m.y.size()),
                                static_cast<unsigned long long>(m.v.size()))) ||
        !set_item(d, "nodes", count(GridModel::node_count(m))) ||
        !add_axes(d, range(m.x.first(), m.x.last()), range(m.y.first(), m.y.last()),
                  range(m.v.first(), m.v.last()))) {
        return nullptr;
    }
    return dict.release();
}

PyObject* kind_view(const ColumnsModel& m) {
    Ref dict = Ref::steal(placed_view(m));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const auto [lo, hi] = ColumnsModel::v_extent(m);
    if (!set_item(d, "kind", PyUnicode_FromString(ColumnsModel::kKindName)) ||
        !set_item(d, "shape",
                  Py_BuildValue("(KK)", static_cast<unsigned long long>(m.x.size() - 1),
                                static_cast<unsigned long long>(m.y.size() - 1))) ||
        !set_item(d, "nodes", count(m.v.size())) ||
        !add_axes(d, range(m.x.first(), m.x.last()), range(m.y.first(), m.y.last()),
                  range(lo, hi))) {
        return nullptr;
    }
    return dict.release();
}

std::optional<std::size_t> held_kind(PyObject* o) {
    std::optional<std::size_t> kind;
    for (std::size_t k = 0; k < std::variant_size_v<Model> && !kind; ++k) {
        PyTypeObject* type =
            visit_kind(k, [](auto t) { return Holder<typename decltype(t)::type>::type().get(); });
        if (type == nullptr) {
            PyErr_Clear();
            continue;
        }
        if (Py_IS_TYPE(o, type)) kind = k;
    }
    return kind;
}

const char* record_name(std::size_t kind) {
    return visit_kind(kind, [](auto t) { return Holder<typename decltype(t)::type>::kRecord; });
}

const char* class_name(std::size_t kind) {
    return visit_kind(kind, [](auto t) { return Holder<typename decltype(t)::type>::kClass; });
}

BorrowFlag& held_flag(PyObject* o, std::size_t kind) {
    return *visit_kind(kind, [o](auto t) { return &held_flag<typename decltype(t)::type>(o); });
}

bool held_full(PyObject* o, std::size_t kind) {
    return visit_kind(kind,
                      [o](auto t) { return held_slot<typename decltype(t)::type>(o).has_value(); });
}

Model take_held(PyObject* o, std::size_t kind) {
    return visit_kind(kind, [o](auto t) {
        using Kind = typename decltype(t)::type;
        HeldSlot<Kind>& slot = held_slot<Kind>(o);
        Model model(std::in_place_type<Kind>, std::move(*slot));
        slot.reset();
        return model;
    });
}

void put_back(PyObject* o, Model&& model) {
    std::visit([o](auto& m) { held_slot<std::decay_t<decltype(m)>>(o).emplace(std::move(m)); },
               model);
}

PyObject* kind_view(const MeshModel& m) {
    return model_view_dict(m);
}

PyObject* model_view(const Model& model) {
    return std::visit([](const auto& m) { return kind_view(m); }, model);
}

}  // namespace orvik::py
