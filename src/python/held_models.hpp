// The Python holders of built models, one class per model kind (PyMeshModel,
// PyGridModel, PyColumnsModel): each instance holds an optional record,
// empty once model_tree() has moved it into a tree. This header lets the
// tree's binding take models of every kind alike, and describes any model
// as its view dict.
#pragma once

#include "frame/python.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "bindings.hpp"
#include "frame/object.hpp"
#include "model_tree/model.hpp"
#include "state/state.hpp"
#include "state_methods.hpp"

namespace orvik::py {

template <class Kind>
using HeldSlot = std::optional<Kind>;

// Per kind: its holder class, the class's name, the name of its record in
// messages, the name its __from_state binds arguments under and the reader of
// its binary state. Every alternative of Model needs one (held_kind reads
// them all).
template <class Kind>
struct Holder;
template <>
struct Holder<MeshModel> {
    static HeapType& type() { return mesh_model_type(); }
    static constexpr const char* kRecord = "MeshModel";
    static constexpr const char* kClass = "PyMeshModel";
    static constexpr const char* kFromState = "PyMeshModel.__from_state";
    static constexpr auto decode = state::decode_mesh_model;
};
template <>
struct Holder<GridModel> {
    static HeapType& type() { return grid_model_type(); }
    static constexpr const char* kRecord = "GridModel";
    static constexpr const char* kClass = "PyGridModel";
    static constexpr const char* kFromState = "PyGridModel.__from_state";
    static constexpr auto decode = state::decode_grid_model;
};
template <>
struct Holder<ColumnsModel> {
    static HeapType& type() { return columns_model_type(); }
    static constexpr const char* kRecord = "ColumnsModel";
    static constexpr const char* kClass = "PyColumnsModel";
    static constexpr const char* kFromState = "PyColumnsModel.__from_state";
    static constexpr auto decode = state::decode_columns_model;
};

template <class Kind>
HeldSlot<Kind>& held_slot(PyObject* o) {
    return as_instance<HeldSlot<Kind>>(o)->value;
}
template <class Kind>
BorrowFlag& held_flag(PyObject* o) {
    return as_instance<HeldSlot<Kind>>(o)->flag;
}

// Calls f(std::type_identity<Kind>{}) with the kind of Model alternative
// `index` and returns its result (a value, not a reference).
template <class F, std::size_t... I>
auto visit_kind_at(std::size_t index, F&& f, std::index_sequence<I...>) {
    using R = decltype(f(std::type_identity<std::variant_alternative_t<0, Model>>{}));
    std::optional<R> result;
    ((index == I
          ? (void)result.emplace(f(std::type_identity<std::variant_alternative_t<I, Model>>{}))
          : (void)0),
     ...);
    return std::move(*result);
}
template <class F>
auto visit_kind(std::size_t index, F&& f) {
    return visit_kind_at(index, std::forward<F>(f),
                         std::make_index_sequence<std::variant_size_v<Model>>{});
}

// The kind of a holder object (its Model alternative), or nothing when `o`
// holds no model of any kind.
std::optional<std::size_t> held_kind(PyObject* o);

// "{Record} has been consumed by model_tree()", what a consumed holder says.
template <class Kind>
std::string consumed_message() {
    return std::string(Holder<Kind>::kRecord) + " has been consumed by model_tree()";
}

// The record's name ("MeshModel", ...) and the holder class's name
// ("PyMeshModel", ...) of the kind of Model alternative `kind`.
const char* record_name(std::size_t kind);
const char* class_name(std::size_t kind);

// The holder `o` of a model of kind `kind` (held_kind(o)): its borrow
// counter, whether it still holds its model, taking the model out (the
// caller holds `o` exclusively and has seen it full) and putting a model
// back into it.
BorrowFlag& held_flag(PyObject* o, std::size_t kind);
bool held_full(PyObject* o, std::size_t kind);
Model take_held(PyObject* o, std::size_t kind);
void put_back(PyObject* o, Model&& model);

// __from_state of the holder class of `Kind`.
template <class Kind>
PyObject* held_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return from_state_named(Holder<Kind>::kFromState, cls, args, nargs, kwnames);
}

// The view dict of a model of any kind: the mesh model's record ("id",
// "name", "bounds", "transform", "priority", "vertical", "size"), which the
// other kinds extend with "kind", "shape", "nodes" and "axes".
PyObject* model_view(const Model& model);
PyObject* kind_view(const MeshModel& model);
PyObject* kind_view(const GridModel& model);
PyObject* kind_view(const ColumnsModel& model);

// What a contribution of a model of that kind adds to an explanation's entry:
// where the point (x, y, v) fell in it, which it holds (a grid's "cell"; a
// columns model's "tile" and "layer", the layer's first profile node in the
// tile). Nothing for a mesh model.
inline bool add_whereabouts(PyObject*, const MeshModel&, float, float, float) {
    return true;
}
bool add_whereabouts(PyObject* entry, const GridModel& model, float x, float y, float v);
bool add_whereabouts(PyObject* entry, const ColumnsModel& model, float x, float y, float v);

}  // namespace orvik::py
