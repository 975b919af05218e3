// grid_model and columns_model, PyGridModel and PyColumnsModel: the Python
// holders of the model kinds beyond the mesh model, registered in
// orvik._native. Like a PyMeshModel, each holds its model until model_tree()
// moves it into a tree, and answers query, aabb, name, priority and view.
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "frame/results.hpp"
#include "held_models.hpp"
#include "mesh_model_object.hpp"
#include "model_args.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// --- the methods, alike for every kind -------------------------------------------

// Shared borrow of the receiver, then `ready()` (arguments converted while
// the borrow keeps the model in place), then the model or the consumed error.
template <class Kind, class Ready = bool (*)()>
const Kind* held_model(
    PyObject* self, BorrowGuard& borrow, Ready ready = [] { return true; }) {
    if (!borrow.shared(held_flag<Kind>(self)) || !ready()) return nullptr;
    const HeldSlot<Kind>& slot = held_slot<Kind>(self);
    if (!slot) {
        raise_value(consumed_message<Kind>());
        return nullptr;
    }
    return &*slot;
}

constexpr const char* kQueryParams[] = {"x", "y", "z"};

template <class Kind>
struct Names;
template <>
struct Names<GridModel> {
    static constexpr Signature kQuery{"PyGridModel.query", kQueryParams, 3, 3};
};
template <>
struct Names<ColumnsModel> {
    static constexpr Signature kQuery{"PyColumnsModel.query", kQueryParams, 3, 3};
};

template <class Kind>
PyObject* held_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(Names<Kind>::kQuery, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        float x, y, z;
        const Kind* model = held_model<Kind>(self, borrow, [&] {
            return to_f32(slots[0], "x", x) && to_f32(slots[1], "y", y) && to_f32(slots[2], "z", z);
        });
        return model ? optional_quality(Kind::query(*model, x, y, z)) : nullptr;
    });
}

// A method without parameters (Unused = PyObject) or a property getter
// (Unused = void) that reads the held model under a shared borrow.
template <class Kind, PyObject* (*Read)(const Kind&), class Unused>
PyObject* read_held(PyObject* self, Unused*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        const Kind* model = held_model<Kind>(self, borrow);
        return model ? Read(*model) : nullptr;
    });
}

template <class Kind>
PyObject* aabb_of(const Kind& model) {
    return box_arrays(model.bounds);
}
template <class Kind>
PyObject* view_of(const Kind& model) {
    return kind_view(model);
}
template <class Kind>
PyObject* name_of(const Kind& model) {
    return text(model.name);
}
template <class Kind>
PyObject* priority_of(const Kind& model) {
    return PyLong_FromLong(model.priority);
}

constexpr const char kQueryDoc[] =
    "query($self, x, y, z)\n--\n\n"
    "Query the model at a single point; `z` is its vertical coordinate (the\n"
    "elevation or the depth, by the model's vertical mode).\n\n"
    "Returns a dict with keys `rho`, `vp`, `vs`, `qp`, `qs`, `alpha`, or `None`\n"
    "outside the model or in a hole.";
constexpr const char kAabbDoc[] =
    "aabb($self)\n--\n\n"
    "Return the box the model tree sees, ``(min_xyz, max_xyz)``, two ``(3,)``\n"
    "float32 arrays: derived from the model's extent, with z from -inf to +inf\n"
    "in depth mode.";
constexpr const char kViewDoc[] =
    "view($self)\n--\n\n"
    "Return a serialisable Python dict describing this model.";

template <class Kind>
struct HeldClass {
    static inline PyMethodDef methods[] = {
        {.ml_name = "query",
         .ml_meth = method_cast(held_query<Kind>),
         .ml_flags = METH_FASTCALL | METH_KEYWORDS,
         .ml_doc = kQueryDoc},
        {.ml_name = "aabb",
         .ml_meth = method_cast(read_held<Kind, aabb_of<Kind>, PyObject>),
         .ml_flags = METH_NOARGS,
         .ml_doc = kAabbDoc},
        {.ml_name = "view",
         .ml_meth = method_cast(read_held<Kind, view_of<Kind>, PyObject>),
         .ml_flags = METH_NOARGS,
         .ml_doc = kViewDoc},
        ORVIK_STATE_METHODS(held_from_state<Kind>),
        {nullptr, nullptr, 0, nullptr},  // sentinel
    };
    static inline PyGetSetDef getset[] = {
        {.name = "name",
         .get = read_held<Kind, name_of<Kind>, void>,
         .set = nullptr,
         .doc = "Human-readable name assigned at construction time.",
         .closure = nullptr},
        {.name = "priority",
         .get = read_held<Kind, priority_of<Kind>, void>,
         .set = nullptr,
         .doc = "Model priority (lower number = higher priority in the tree).",
         .closure = nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
    };
};

// --- the views ---------------------------------------------------------------------

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

PyObject* index_tuple(const std::array<std::uint64_t, 3>& i, int n) {
    return n == 2 ? Py_BuildValue("(KK)", static_cast<unsigned long long>(i[0]),
                                  static_cast<unsigned long long>(i[1]))
                  : Py_BuildValue("(KKK)", static_cast<unsigned long long>(i[0]),
                                  static_cast<unsigned long long>(i[1]),
                                  static_cast<unsigned long long>(i[2]));
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

bool add_whereabouts(PyObject* entry, const GridModel& m, float x, float y, float v) {
    return set_item(entry, "cell", index_tuple(GridModel::cell(m, x, y, v).value(), 3));
}

bool add_whereabouts(PyObject* entry, const ColumnsModel& m, float x, float y, float v) {
    const auto at = ColumnsModel::layer(m, x, y, v);
    return set_item(entry, "tile", index_tuple(at.value(), 2)) &&
           set_item(entry, "layer", PyLong_FromUnsignedLongLong(at->at(2)));
}

namespace {

// --- the classes -----------------------------------------------------------------

using GridClass = HeldClass<GridModel>;
using ColumnsClass = HeldClass<ColumnsModel>;

PyType_Slot grid_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Python-facing grid model: a rectilinear 3-D grid of qualities,\n"
                       "interpolated trilinearly.\n\n"
                       "Made by `grid_model` (users call `orvik.models.grid`); consumed (moved\n"
                       "into a model tree) when passed to `model_tree`.")},
    {Py_tp_methods, GridClass::methods},
    {Py_tp_getset, GridClass::getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HeldSlot<GridModel>>)},
    {0, nullptr},  // sentinel
};

PyType_Spec grid_spec = {
    .name = "orvik._native.PyGridModel",
    .basicsize = sizeof(Instance<HeldSlot<GridModel>>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = grid_slots,
};

PyType_Slot columns_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Python-facing columns model: a horizontal grid of tiles, each with\n"
                       "its own piecewise-linear profile in the vertical coordinate.\n\n"
                       "Made by `columns_model` (users call `orvik.models.layered` or\n"
                       "`orvik.models.columns`); consumed (moved into a model tree) when\n"
                       "passed to `model_tree`.")},
    {Py_tp_methods, ColumnsClass::methods},
    {Py_tp_getset, ColumnsClass::getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HeldSlot<ColumnsModel>>)},
    {0, nullptr},  // sentinel
};

PyType_Spec columns_spec = {
    .name = "orvik._native.PyColumnsModel",
    .basicsize = sizeof(Instance<HeldSlot<ColumnsModel>>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = columns_slots,
};

HeapType grid_class{grid_spec};
HeapType columns_class{columns_spec};

// --- the constructors ------------------------------------------------------------

// The placement arguments that follow the arrays: vertical, priority, name, transform.
bool placement_args(PyObject* const* slots, ModelPlacement& p) {
    return to_vertical(slots[0], "vertical", p.vertical) &&
           to_priority(slots[1], "priority", p.priority) &&
           to_optional_name(slots[2] == Py_None ? nullptr : slots[2], "name", p.name) &&
           to_optional_transform(slots[3], "transform", p.transform);
}

constexpr const char* kGridParams[] = {"x",        "y",        "v",    "values",
                                       "vertical", "priority", "name", "transform"};
constexpr Signature kGridSignature{"grid_model", kGridParams, 8, 6};

PyObject* grid_model_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[8];
        if (!bind_fastcall(kGridSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<double, 1> x, y, v;
        ArrayArg<float, 4> values;
        ModelPlacement placement;
        if (!x.extract(slots[0], "x") || !y.extract(slots[1], "y") || !v.extract(slots[2], "v") ||
            !values.extract(slots[3], "values") || !placement_args(slots + 4, placement)) {
            return nullptr;
        }
        std::optional<Result<GridModel>> built;
        {
            AllowThreads unlocked;
            built.emplace(GridModel::build({x.view(), y.view(), v.view(), values.view()},
                                           std::move(placement)));
        }
        if (!*built) {
            raise_error(built->error());
            return nullptr;
        }
        return new_instance(grid_class, HeldSlot<GridModel>(std::move(*built).value()));
    });
}

constexpr const char* kColumnsParams[] = {"x",        "y",        "offsets", "v",        "values",
                                          "vertical", "priority", "name",    "transform"};
constexpr Signature kColumnsSignature{"columns_model", kColumnsParams, 9, 7};

PyObject* columns_model_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[9];
        if (!bind_fastcall(kColumnsSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<double, 1> x, y, v;
        ArrayArg<std::uint64_t, 1> offsets;
        ArrayArg<float, 2> values;
        ModelPlacement placement;
        if (!x.extract(slots[0], "x") || !y.extract(slots[1], "y") ||
            !offsets.extract(slots[2], "offsets") || !v.extract(slots[3], "v") ||
            !values.extract(slots[4], "values") || !placement_args(slots + 5, placement)) {
            return nullptr;
        }
        std::optional<Result<ColumnsModel>> built;
        {
            AllowThreads unlocked;
            built.emplace(
                ColumnsModel::build({x.view(), y.view(), offsets.view(), v.view(), values.view()},
                                    std::move(placement)));
        }
        if (!*built) {
            raise_error(built->error());
            return nullptr;
        }
        return new_instance(columns_class, HeldSlot<ColumnsModel>(std::move(*built).value()));
    });
}

PyMethodDef grid_model_def = {
    .ml_name = "grid_model",
    .ml_meth = method_cast(grid_model_fn),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "grid_model(x, y, v, values, vertical, priority, name=None, transform=None)\n--\n\n"
        "Build a [`PyGridModel`]: a rectilinear grid of qualities, interpolated\n"
        "trilinearly (qp and qs harmonically).\n\n"
        "`x`, `y` and `v` are the ``(nx,)``, ``(ny,)`` and ``(nv,)`` float64 node\n"
        "coordinates in the model's local frame, each strictly increasing, except\n"
        "that `v` (the elevation or the depth, by `vertical`) may repeat a value\n"
        "once inside the axis, a discontinuity: a point on it takes the values of\n"
        "the layer below (deeper, or lower). `values` is the ``(nx, ny, nv, 6)``\n"
        "float32 array of ``[rho, vp, vs, qp, qs, alpha]`` per node; a cell with a\n"
        "NaN node answers nothing. `vertical` is 'elevation' or 'depth',\n"
        "`priority` 0 to 255, `transform` an optional ``(4, 4)`` float32\n"
        "world-to-local array as `MeshModelBuilder.transform` takes it. The\n"
        "model keeps its own copy of the arrays; its bounds are derived.",
};

PyMethodDef columns_model_def = {
    .ml_name = "columns_model",
    .ml_meth = method_cast(columns_model_fn),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "columns_model(x, y, offsets, v, values, vertical, priority, name=None, "
        "transform=None)\n--\n\n"
        "Build a [`PyColumnsModel`]: tiles with a piecewise-linear profile each.\n\n"
        "`x` and `y` are the ``(nx + 1,)`` and ``(ny + 1,)`` float64 tile edges,\n"
        "strictly increasing (the first may be -inf and the last +inf). Tile\n"
        "``(i, j)`` is number ``t = i * ny + j``; its profile nodes are entries\n"
        "``offsets[t]`` to ``offsets[t + 1] - 1`` (`offsets`: ``(nx * ny + 1,)``\n"
        "uint64) of `v`, the ``(K,)`` float64 vertical coordinates, non-decreasing\n"
        "within a profile, and of `values`, the ``(K, 6)`` float32 qualities\n"
        "``[rho, vp, vs, qp, qs, alpha]``. Values are linear between nodes; a\n"
        "value given twice is a discontinuity (a point on it takes the layer\n"
        "below), and zero-thickness layers are dropped. The other arguments are\n"
        "those of `grid_model`.",
};

}  // namespace

PyObject* make_PyGridModel(PyObject* module) {
    return grid_class.new_reference(module);
}
PyObject* make_PyColumnsModel(PyObject* module) {
    return columns_class.new_reference(module);
}
PyObject* make_grid_model(PyObject*) {
    return make_function(&grid_model_def);
}
PyObject* make_columns_model(PyObject*) {
    return make_function(&columns_model_def);
}
HeapType& grid_model_type() {
    return grid_class;
}
HeapType& columns_model_type() {
    return columns_class;
}

}  // namespace orvik::py
