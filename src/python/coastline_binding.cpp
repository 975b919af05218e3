// PyCoastline and coastline: signed distances to closed rings of segments.
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "coastline/coastline.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// --- PyCoastline ----------------------------------------------------------------

using CoastlineObject = Instance<Coastline>;

constexpr const char* kDistanceParams[] = {"x", "y"};
constexpr Signature kDistanceSignature{"PyCoastline.signed_distance", kDistanceParams, 2, 2};

PyObject* signed_distance(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[2];
        if (!bind_fastcall(kDistanceSignature, args, nargs, kwnames, slots)) return nullptr;
        auto* inst = as_instance<Coastline>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        ArrayArg<float, 1> x, y;
        if (!x.extract(slots[0], "x") || !y.extract(slots[1], "y")) return nullptr;
        const npy_intp n = x.size();
        if (y.size() != n) {
            raise_value("x and y must be the same length, got " + std::to_string(n) + " and " +
                        std::to_string(y.size()));
            return nullptr;
        }
        std::vector<float> out(static_cast<std::size_t>(n));
        bool done = false;
        {
            AllowThreads unlocked;
            done = Coastline::signed_distance_many(inst->value, x.view(), y.view(), out.data(),
                                                   unlocked.interrupt());
        }
        if (!done) return nullptr;  // a signal handler raised; its exception is set
        return make_array(std::move(out), {n});
    });
}

Py_ssize_t coastline_length(PyObject* self) {
    return guarded([&]() -> Py_ssize_t {
        auto* inst = as_instance<Coastline>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return -1;
        return static_cast<Py_ssize_t>(inst->value.segments.size());
    });
}

PyMethodDef coastline_methods[] = {
    {
        .ml_name = "signed_distance",
        .ml_meth = method_cast(signed_distance),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "signed_distance($self, x, y)\n--\n\n"
                  "Signed distance from each point to the coastline, negative inside.\n\n"
                  "Parameters\n"
                  "----------\n"
                  "x, y :\n"
                  "    Two 1-D float arrays of the same length.\n\n"
                  "Returns\n"
                  "-------\n"
                  "numpy.ndarray\n"
                  "    Distances, negative where the point lies inside the coastline.",
    },
    ORVIK_STATE_METHODS(coastline_from_state),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot coastline_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing coastline for signed-distance queries.")},
    {Py_tp_methods, coastline_methods},
    {Py_mp_length, reinterpret_cast<void*>(coastline_length)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Coastline>)},
    {0, nullptr},  // sentinel
};

PyType_Spec coastline_spec = {
    .name = "orvik.PyCoastline",
    .basicsize = sizeof(CoastlineObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = coastline_slots,
};

HeapType coastline_class{coastline_spec};

// --- coastline ------------------------------------------------------------------

constexpr const char* kBuildParams[] = {"segments_py"};
constexpr Signature kBuildSignature{"coastline", kBuildParams, 1, 1};

PyObject* coastline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kBuildSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<float, 3> segments;
        if (!segments.extract(slots[0], "segments_py")) return nullptr;
        Result<Coastline> built = Coastline::build(segments.view());
        if (!built) {
            raise_error(built.error());
            return nullptr;
        }
        return new_instance(coastline_class, std::move(built).value());
    });
}

PyMethodDef coastline_def = {
    .ml_name = "coastline",
    .ml_meth = method_cast(coastline),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "coastline(segments_py)\n--\n\n"
        "Build a [`PyCoastline`] from an array of segments.\n\n"
        "Parameters\n"
        "----------\n"
        "segments_py :\n"
        "    A ``(S, 2, 2)`` float32 array of segment endpoints, indexed\n"
        "    ``[segment, endpoint, (x, y)]``. The segments are expected to close\n"
        "    into one or more rings.",
};

}  // namespace

PyObject* make_PyCoastline(PyObject* module) {
    return coastline_class.new_reference(module);
}

PyObject* make_coastline(PyObject*) {
    return make_function(&coastline_def);
}

HeapType& coastline_type() {
    return coastline_class;
}

}  // namespace orvik::py
