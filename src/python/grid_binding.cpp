// StructuredGrid and structured_grid: bilinear interpolation on a grid of
// Cartesian nodes.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/gil.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "grid/structured_grid.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// --- StructuredGrid -------------------------------------------------------------

using GridObject = Instance<StructuredGrid>;

constexpr const char* kQueryParams[] = {"x", "y", "clamp"};
constexpr Signature kQuerySignature{"StructuredGrid.query", kQueryParams, 3, 2};
constexpr Signature kQueryManySignature{"StructuredGrid.query_many", kQueryParams, 3, 2};

bool clamp_arg(PyObject* o, bool& clamp) {
    clamp = true;
    return o == nullptr || to_bool(o, "clamp", clamp);
}

PyObject* grid_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kQuerySignature, args, nargs, kwnames, slots)) return nullptr;
        auto* inst = as_instance<StructuredGrid>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        double x = 0.0, y = 0.0;
        bool clamp = true;
        if (!to_f64(slots[0], "x", x) || !to_f64(slots[1], "y", y) || !clamp_arg(slots[2], clamp)) {
            return nullptr;
        }
        const GridSample q = StructuredGrid::query(inst->value, x, y, clamp);
        Ref value = Ref::steal(PyFloat_FromDouble(q.value));
        if (!value) return nullptr;
        return PyTuple_Pack(2, value.get(), q.outside ? Py_True : Py_False);
    });
}

PyObject* grid_query_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kQueryManySignature, args, nargs, kwnames, slots)) return nullptr;
        auto* inst = as_instance<StructuredGrid>(self);
        BorrowGuard borrow;
        if (!borrow.shared(inst->flag)) return nullptr;
        ArrayArg<double, 1> x, y;
        bool clamp = true;
        if (!x.extract(slots[0], "x") || !y.extract(slots[1], "y") || !clamp_arg(slots[2], clamp)) {
            return nullptr;
        }
        const npy_intp n = x.size(0);
        if (y.size(0) != n) {
            raise_value("x and y must have the same length; got x=" + std::to_string(n) +
                        ", y=" + std::to_string(y.size(0)));
            return nullptr;
        }
        std::vector<double> values(static_cast<std::size_t>(n));
        std::vector<std::uint8_t> outside(static_cast<std::size_t>(n));
        bool done = false;
        {
            AllowThreads unlocked;
            done = StructuredGrid::query_many(inst->value, x.view(), y.view(), clamp, values.data(),
                                              outside.data(), unlocked.interrupt());
        }
        if (!done) return nullptr;  // a signal handler raised; its exception is set
        Ref values_array = Ref::steal(make_array(std::move(values), {n}));
        if (!values_array) return nullptr;
        Ref outside_array = Ref::steal(make_array(std::move(outside), {n}, NPY_BOOL));
        if (!outside_array) return nullptr;
        return PyTuple_Pack(2, values_array.get(), outside_array.get());
    });
}

PyMethodDef grid_methods[] = {
    {
        .ml_name = "query",
        .ml_meth = method_cast(grid_query),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query($self, x, y, clamp=True)\n--\n\n"
                  "Interpolate at one point, returning `(value, outside)`.\n\n"
                  "A point outside the grid is clamped onto its edge when `clamp` is\n"
                  "true, and takes NaN otherwise.",
    },
    {
        .ml_name = "query_many",
        .ml_meth = method_cast(grid_query_many),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query_many($self, x, y, clamp=True)\n--\n\n"
                  "Interpolate at many points, each as `query` does.\n\n"
                  "`x` and `y` are `(N,)` float64 arrays; the loop runs with the\n"
                  "interpreter lock released.\n\n"
                  "Returns the `(N,)` interpolated values and an `(N,)` boolean mask\n"
                  "of the points outside the grid.",
    },
    ORVIK_STATE_METHODS(grid_reduce, grid_from_state),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot grid_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A structured grid of Cartesian nodes, interpolated bilinearly.\n\n"
                       "Nodes need not lie on an axis-aligned lattice: the grid may be rotated,\n"
                       "sheared or gently curved. Instances come only from `structured_grid`.")},
    {Py_tp_methods, grid_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StructuredGrid>)},
    {0, nullptr},  // sentinel
};

PyType_Spec grid_spec = {
    .name = "orvik.StructuredGrid",
    .basicsize = sizeof(GridObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = grid_slots,
};

HeapType grid_type{grid_spec};

// --- structured_grid ------------------------------------------------------------

constexpr const char* kBuildParams[] = {"x", "y", "values"};
constexpr Signature kBuildSignature{"structured_grid", kBuildParams, 3, 3};

PyObject* structured_grid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kBuildSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<double, 2> x, y, values;
        if (!x.extract(slots[0], "x") || !y.extract(slots[1], "y") ||
            !values.extract(slots[2], "values")) {
            return nullptr;
        }
        Result<StructuredGrid> grid = StructuredGrid::build(x.view(), y.view(), values.view());
        if (!grid) {
            raise_error(grid.error());
            return nullptr;
        }
        return new_instance(grid_type, std::move(grid).value());
    });
}

PyMethodDef structured_grid_def = {
    .ml_name = "structured_grid",
    .ml_meth = method_cast(structured_grid),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "structured_grid(x, y, values)\n--\n\n"
        "Create a [`PyStructuredGrid`] from `(m, n)` NumPy arrays of Cartesian node\n"
        "coordinates (`x`, `y`) and node values (`values`).\n\n"
        "The three float64 arrays must share one shape with at least two rows and\n"
        "two columns; they are copied, so later changes to them do not affect the\n"
        "grid. The result is a `StructuredGrid`: the class that the first line\n"
        "calls `PyStructuredGrid` is registered under that name.",
};

}  // namespace

PyObject* make_StructuredGrid(PyObject* module) {
    return grid_type.new_reference(module);
}

PyObject* make_structured_grid(PyObject*) {
    return make_function(&structured_grid_def);
}

HeapType& structured_grid_type() {
    return grid_type;
}

}  // namespace orvik::py
