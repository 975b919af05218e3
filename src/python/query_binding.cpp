// QueryParams and QueryCoordinates: the argument holders of query_many.
#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"
#include "query_objects.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// The instances, QueryCoordinatesObject and QueryParamsObject, are declared in
// query_objects.hpp: PyModelTree.query_many reads them.

// --- QueryCoordinates -----------------------------------------------------------

constexpr const char* kCoordsParams[] = {"x", "y", "z", "depth", "mask"};
constexpr Signature kCoordsSignature{"QueryCoordinates.__new__", kCoordsParams, 5, 4};

PyObject* coords_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[5];
        if (!bind_tuple(kCoordsSignature, args, kwargs, slots)) return nullptr;
        for (int k = 0; k < 4; ++k) {
            if (!extract_array_checked(slots[k], NPY_FLOAT32, 1, kCoordsParams[k])) return nullptr;
        }
        PyObject* mask = slots[4] == Py_None ? nullptr : slots[4];
        if (mask && !extract_array_checked(mask, NPY_BOOL, 1, "mask")) return nullptr;

        PyObject* self = type->tp_alloc(type, 0);  // zeroed, tracked by the collector
        if (!self) return nullptr;
        auto* inst = as_instance<QueryCoordinatesValue>(self);
        new (&inst->value)
            QueryCoordinatesValue{Py_NewRef(slots[0]), Py_NewRef(slots[1]), Py_NewRef(slots[2]),
                                  Py_NewRef(slots[3]), Py_XNewRef(mask)};
        new (&inst->flag) BorrowFlag();
        return self;
    });
}

// An ndarray subclass may carry attributes that lead back here, so the held
// arrays take part in cycle collection.
int coords_traverse(PyObject* self, visitproc visit, void* arg) {
    auto& v = as_instance<QueryCoordinatesValue>(self)->value;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(v.x);
    Py_VISIT(v.y);
    Py_VISIT(v.z);
    Py_VISIT(v.depth);
    Py_VISIT(v.mask);
    return 0;
}

int coords_clear(PyObject* self) {
    auto& v = as_instance<QueryCoordinatesValue>(self)->value;
    Py_CLEAR(v.x);
    Py_CLEAR(v.y);
    Py_CLEAR(v.z);
    Py_CLEAR(v.depth);
    Py_CLEAR(v.mask);
    return 0;
}

void coords_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    coords_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef coords_methods[] = {
    {
        .ml_name = "__reduce__",
        .ml_meth = method_cast(query_coordinates_reduce),
        .ml_flags = METH_NOARGS,
        .ml_doc = kArgumentsReduceDoc,
    },
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot coords_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("QueryCoordinates(x, y, z, depth, mask=None)\n--\n\n"
                       "Coordinate arrays and optional boolean mask for a vectorised query.\n\n"
                       "Bundles the four ``(N,)`` coordinate arrays and an optional ``(N,)``\n"
                       "boolean mask into a single object so that `query_many` stays under the\n"
                       "argument-count limit of the linter. The object holds no interpreter lock:\n"
                       "the arrays are borrowed only during the actual query call.")},
    {Py_tp_new, reinterpret_cast<void*>(coords_new)},
    {Py_tp_methods, coords_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(coords_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coords_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coords_clear)},
    {0, nullptr},  // sentinel
};

PyType_Spec coords_spec = {
    .name = "orvik.QueryCoordinates",
    .basicsize = sizeof(QueryCoordinatesObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = coords_slots,
};

HeapType coords_type{coords_spec};

// --- QueryParams ----------------------------------------------------------------

constexpr const char* kParamsParams[] = {"priority_lo", "priority_hi"};
constexpr Signature kParamsSignature{"QueryParams.__new__", kParamsParams, 2, 2};

PyObject* params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_tuple(kParamsSignature, args, kwargs, slots)) return nullptr;
        QueryParamsValue value;
        if (!to_priority(slots[0], "priority_lo", value.priority_lo)) return nullptr;
        if (!to_priority(slots[1], "priority_hi", value.priority_hi)) return nullptr;
        return new_instance(type, std::move(value));
    });
}

PyMethodDef params_methods[] = {
    {
        .ml_name = "__reduce__",
        .ml_meth = method_cast(query_params_reduce),
        .ml_flags = METH_NOARGS,
        .ml_doc = kArgumentsReduceDoc,
    },
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot params_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("QueryParams(priority_lo, priority_hi)\n--\n\n"
                       "Parameters controlling a vectorised query (priority range).\n\n"
                       "Bundles `priority_lo` and `priority_hi` into a single object so that\n"
                       "`query_many` has a compact signature.")},
    {Py_tp_new, reinterpret_cast<void*>(params_new)},
    {Py_tp_methods, params_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<QueryParamsValue>)},
    {0, nullptr},  // sentinel
};

PyType_Spec params_spec = {
    .name = "orvik.QueryParams",
    .basicsize = sizeof(QueryParamsObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = params_slots,
};

HeapType params_type{params_spec};

}  // namespace

PyObject* make_QueryCoordinates(PyObject* module) {
    return coords_type.new_reference(module);
}

PyObject* make_QueryParams(PyObject* module) {
    return params_type.new_reference(module);
}

HeapType& query_coordinates_type() {
    return coords_type;
}
HeapType& query_params_type() {
    return params_type;
}

}  // namespace orvik::py
