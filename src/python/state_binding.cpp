// __reduce__ and __from_state of the module's classes. A record's state is
// written straight into a new bytes object and read back in place from any
// bytes-like object; the state unit checks everything it reads.
#include <utility>

#include "coastline/coastline.hpp"
#include "frame/binding.hpp"
#include "frame/bytes.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "grid/structured_grid.hpp"
#include "held_models.hpp"
#include "mesh_model_object.hpp"
#include "model_tree/model_tree.hpp"
#include "query_objects.hpp"
#include "state/state.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

constexpr const char* kStateParams[] = {"state"};

template <class Record>
PyObject* state_bytes(const Record& record) {
    return make_bytes(state::encoded_size(record),
                      [&](std::span<std::byte> out) { state::encode(record, out); });
}

// (type(self).__from_state, (state,)): pickle saves the bound class method as
// getattr(<class>, "__from_state"), the class by its qualified name.
PyObject* reduce_to_state(PyObject* self, PyObject* state) {
    Ref method = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__from_state"));
    if (!method) return nullptr;
    return Py_BuildValue("O(O)", method.get(), state);
}

// The reduction of `self` to the state of `record`, which it holds under
// `borrow`; the borrow ends once the state is written.
template <class Record>
PyObject* reduce_held(PyObject* self, BorrowGuard& borrow, const Record& record) {
    Ref state = Ref::steal(state_bytes(record));
    if (!state) return nullptr;
    borrow.release();
    return reduce_to_state(self, state.get());
}

// The same for the record of an Instance<Record>, borrowed shared.
template <class Record>
PyObject* reduce_record(PyObject* self) {
    auto* inst = as_instance<Record>(self);
    BorrowGuard borrow;
    if (!borrow.shared(inst->flag)) return nullptr;
    return reduce_held(self, borrow, inst->value);
}

// Binds `state`, decodes it and wraps the record in a new instance of `cls`.
template <class Decode, class Wrap>
PyObject* from_state(const Signature& sig, PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Decode decode, Wrap wrap) {
    PyObject* slots[1];
    if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return nullptr;
    BytesArg state;
    if (!state.extract(slots[0], "state")) return nullptr;
    auto record = decode(state.view());
    if (!record) {
        raise_error(record.error());
        return nullptr;
    }
    return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(record).value());
}

template <class Record>
PyObject* wrap_plain(PyTypeObject* type, Record&& record) {
    return new_instance(type, std::forward<Record>(record));
}

constexpr Signature kTreeFromState{"PyModelTree.__from_state", kStateParams, 1, 1};
constexpr Signature kMeshFromState{"PyMeshModel.__from_state", kStateParams, 1, 1};
constexpr Signature kGridFromState{"StructuredGrid.__from_state", kStateParams, 1, 1};
constexpr Signature kCoastlineFromState{"PyCoastline.__from_state", kStateParams, 1, 1};
constexpr Signature kGridModelFromState{"PyGridModel.__from_state", kStateParams, 1, 1};
constexpr Signature kColumnsModelFromState{"PyColumnsModel.__from_state", kStateParams, 1, 1};

// The reduction of a model holder of a kind beyond the mesh model.
template <class Kind>
PyObject* reduce_held_model(PyObject* self) {
    BorrowGuard borrow;
    if (!borrow.shared(held_flag<Kind>(self))) return nullptr;
    const HeldSlot<Kind>& slot = held_slot<Kind>(self);
    if (!slot) {
        raise_value(consumed_message<Kind>());
        return nullptr;
    }
    return reduce_held(self, borrow, *slot);
}

template <class Kind>
PyObject* wrap_held(PyTypeObject* type, Kind&& model) {
    return new_instance(type, HeldSlot<Kind>(std::move(model)));
}

}  // namespace

PyObject* tree_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_record<ModelTree>(self); });
}

PyObject* tree_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kTreeFromState, cls, args, nargs, kwnames, state::decode_model_tree,
                          wrap_plain<ModelTree>);
    });
}

PyObject* mesh_model_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard borrow;
        if (!borrow.shared(mesh_model_flag(self))) return nullptr;
        const MeshModelSlot& slot = mesh_model_slot(self);
        if (!slot) {
            raise_value(kMeshModelConsumed);
            return nullptr;
        }
        return reduce_held(self, borrow, *slot);
    });
}

PyObject* mesh_model_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kMeshFromState, cls, args, nargs, kwnames, state::decode_mesh_model,
                          [](PyTypeObject* type, MeshModel&& model) {
                              return new_instance(type, MeshModelSlot(std::move(model)));
                          });
    });
}

PyObject* grid_model_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_held_model<GridModel>(self); });
}

PyObject* grid_model_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kGridModelFromState, cls, args, nargs, kwnames, state::decode_grid_model,
                          wrap_held<GridModel>);
    });
}

PyObject* columns_model_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_held_model<ColumnsModel>(self); });
}

PyObject* columns_model_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kColumnsModelFromState, cls, args, nargs, kwnames,
                          state::decode_columns_model, wrap_held<ColumnsModel>);
    });
}

PyObject* grid_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_record<StructuredGrid>(self); });
}

PyObject* grid_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kGridFromState, cls, args, nargs, kwnames, state::decode_structured_grid,
                          wrap_plain<StructuredGrid>);
    });
}

PyObject* coastline_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return reduce_record<Coastline>(self); });
}

PyObject* coastline_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        return from_state(kCoastlineFromState, cls, args, nargs, kwnames, state::decode_coastline,
                          wrap_plain<Coastline>);
    });
}

PyObject* state_reduce_ex(PyObject* self, PyObject* protocol) {
    return guarded([&]() -> PyObject* {
        const int version = PyLong_AsInt(protocol);
        if (version == -1 && PyErr_Occurred()) return nullptr;
        Ref reduced = Ref::steal(PyObject_CallMethod(self, "__reduce__", nullptr));
        if (!reduced || version < 5) return reduced.release();
        // Protocol 5 lets the state travel out of band: a pickler with a
        // buffer callback hands the bytes over as they are, and the reader
        // takes the buffer it gets back without a copy. In band, the buffer
        // is written as the bytes it wraps.
        PyObject* method = nullptr;
        PyObject* state = nullptr;
        if (!PyArg_ParseTuple(reduced.get(), "O(O)", &method, &state)) return nullptr;
        Ref buffer = Ref::steal(PyPickleBuffer_FromObject(state));
        if (!buffer) return nullptr;
        return Py_BuildValue("O(O)", method, buffer.get());
    });
}

PyObject* query_params_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* inst = as_instance<QueryParamsValue>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        return Py_BuildValue("O(BB)", reinterpret_cast<PyObject*>(Py_TYPE(self)),
                             inst->value.priority_lo, inst->value.priority_hi);
    });
}

PyObject* query_coordinates_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* inst = as_instance<QueryCoordinatesValue>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        const QueryCoordinatesValue& v = inst->value;
        // The arrays themselves: pickle copies them, copy.copy shares them.
        return Py_BuildValue("O(OOOOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), v.x, v.y, v.z,
                             v.depth, v.mask ? v.mask : Py_None);
    });
}

PyObject* builder_reduce(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyErr_SetString(PyExc_TypeError,
                        "cannot pickle 'MeshModelBuilder' object: finish it with interpolated() or "
                        "depth_profile() and pickle the PyMeshModel that it returns");
        return nullptr;
    });
}

}  // namespace orvik::py
