// adaptive_tin: triangulate a polygon until it fits gridded surfaces.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
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
#include "tin/adaptive_tin.hpp"

namespace orvik::py {
namespace {

constexpr const char* kParams[] = {"boundary", "surfaces", "max_edge"};
constexpr Signature kSignature{"adaptive_tin", kParams, 3, 2};

// One converted item of `surfaces`, its grid and samples still borrowed.
struct SurfaceArg {
    const StructuredGrid* grid = nullptr;
    const ArrayArg<double, 2>* samples = nullptr;
    double boundary_spacing = 0.0;
    double tolerance = 0.0;
};

// Everything the surfaces hold alive and borrowed until the call returns.
// The items are kept so that a sequence producing temporary tuples cannot
// free a grid or an array while it is in use; members are released in
// reverse order, borrows before the references.
struct SurfaceHolds {
    std::vector<Ref> items;
    std::deque<BorrowGuard> grids;
    std::deque<ArrayArg<double, 2>> samples;
};

bool fail_surfaces() {
    add_argument_note("surfaces");
    return false;
}

bool convert_item(PyObject* item, SurfaceHolds& holds, std::vector<SurfaceArg>& out) {
    if (!PyTuple_Check(item)) return type_mismatch(item, "tuple", "surfaces");
    const Py_ssize_t len = PyTuple_GET_SIZE(item);
    if (len != 4) {
        raise_value("expected tuple of length 4, but got tuple of length " + std::to_string(len));
        return fail_surfaces();
    }
    PyObject* grid = PyTuple_GET_ITEM(item, 0);
    if (!check_instance(grid, structured_grid_type(), "StructuredGrid", "surfaces", true)) {
        return false;
    }
    auto* grid_instance = as_instance<StructuredGrid>(grid);
    if (!holds.grids.emplace_back().shared(grid_instance->flag)) return fail_surfaces();
    ArrayArg<double, 2>& samples = holds.samples.emplace_back();
    if (!samples.extract(PyTuple_GET_ITEM(item, 1), "surfaces")) return false;
    SurfaceArg arg{&grid_instance->value, &samples, 0.0, 0.0};
    if (!to_f64(PyTuple_GET_ITEM(item, 2), "surfaces", arg.boundary_spacing)) return false;
    if (!to_f64(PyTuple_GET_ITEM(item, 3), "surfaces", arg.tolerance)) return false;
    out.push_back(arg);
    return true;
}

bool convert_surfaces(PyObject* o, SurfaceHolds& holds, std::vector<SurfaceArg>& out) {
    if (!check_sequence(o, "surfaces")) return false;
    Ref iter = Ref::steal(PyObject_GetIter(o));
    if (!iter) return fail_surfaces();
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iter.get()));
        if (!item) {
            if (PyErr_Occurred()) return fail_surfaces();
            return true;
        }
        PyObject* raw = item.get();
        holds.items.push_back(std::move(item));
        if (!convert_item(raw, holds, out)) return false;
    }
}

// One field of every sample, as a strided column.
StridedView<double, 1> sample_field(const std::vector<TinSample>& samples, std::size_t offset) {
    StridedView<double, 1> view;
    view.data = reinterpret_cast<const char*>(samples.data()) + offset;
    view.shape = {static_cast<std::ptrdiff_t>(samples.size())};
    view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
    return view;
}

MutableStridedView<double, 1> sample_values(std::vector<TinSample>& samples) {
    MutableStridedView<double, 1> view;
    view.data = reinterpret_cast<char*>(samples.data()) + offsetof(TinSample, z);
    view.shape = {static_cast<std::ptrdiff_t>(samples.size())};
    view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
    return view;
}

// Rows of (x, y); further columns are ignored. A row without two columns has
// no point to give.
bool has_points(const StridedView<double, 2>& a, const char* name) {
    if (a.shape[0] > 0 && a.shape[1] < 2) {
        raise_value(std::string(name) + " must have at least two columns (x, y); got shape (" +
                    std::to_string(a.shape[0]) + ", " + std::to_string(a.shape[1]) + ")");
        return false;
    }
    return true;
}

PyObject* adaptive_tin(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kSignature, args, nargs, kwnames, slots)) return nullptr;
        ArrayArg<double, 2> boundary_arg;
        if (!boundary_arg.extract(slots[0], "boundary")) return nullptr;
        SurfaceHolds holds;
        std::vector<SurfaceArg> surface_args;
        if (!convert_surfaces(slots[1], holds, surface_args)) return nullptr;
        std::optional<double> max_edge;
        if (slots[2] && slots[2] != Py_None) {
            double value = 0.0;
            if (!to_f64(slots[2], "max_edge", value)) return nullptr;
            max_edge = value;
        }

        const StridedView<double, 2> bview = boundary_arg.view();
        if (!has_points(bview, "boundary")) return nullptr;
        std::vector<TinPoint> boundary;
        boundary.reserve(static_cast<std::size_t>(bview.shape[0]));
        for (std::ptrdiff_t r = 0; r < bview.shape[0]; ++r) {
            boundary.push_back({bview.at(r, 0), bview.at(r, 1)});
        }
        std::vector<TinSurface> surfaces;
        surfaces.reserve(surface_args.size());
        for (const SurfaceArg& arg : surface_args) {
            const StridedView<double, 2> sview = arg.samples->view();
            if (!has_points(sview, "samples")) return nullptr;
            TinSurface& surface = surfaces.emplace_back();
            surface.grid = arg.grid;
            surface.boundary_spacing = arg.boundary_spacing;
            surface.tolerance = arg.tolerance;
            // The view's fields in locals: writes through the samples could
            // otherwise alias them, and every row would read them again.
            const std::ptrdiff_t rows = sview.shape[0];
            const char* const data = sview.data;
            const std::ptrdiff_t row_stride = sview.strides[0], column_stride = sview.strides[1];
            std::vector<TinSample>& out = surface.samples;
            out.reserve(static_cast<std::size_t>(rows));
            for (std::ptrdiff_t r = 0; r < rows; ++r) {
                const char* const row = data + r * row_stride;
                out.push_back({*reinterpret_cast<const double*>(row),
                               *reinterpret_cast<const double*>(row + column_stride), 0.0});
            }
            // Evaluated in place, several points at a time.
            StructuredGrid::query_values(*arg.grid,
                                         sample_field(surface.samples, offsetof(TinSample, x)),
                                         sample_field(surface.samples, offsetof(TinSample, y)),
                                         true, sample_values(surface.samples));
        }

        std::optional<Result<TinResult>> result;
        {
            AllowThreads unlocked;
            result.emplace(orvik::adaptive_tin(boundary, surfaces, max_edge, unlocked.interrupt()));
        }
        if (!result->ok()) {
            raise_error(result->error());
            return nullptr;
        }
        TinResult& tin = result->value();
        const npy_intp nv = static_cast<npy_intp>(tin.vertices.size() / 2);
        const npy_intp nt = static_cast<npy_intp>(tin.triangles.size() / 3);
        Ref vertices = Ref::steal(make_array(std::move(tin.vertices), {nv, 2}));
        if (!vertices) return nullptr;
        Ref triangles = Ref::steal(make_array(std::move(tin.triangles), {nt, 3}));
        if (!triangles) return nullptr;
        return PyTuple_Pack(2, vertices.get(), triangles.get());
    });
}

PyMethodDef adaptive_tin_def = {
    .ml_name = "adaptive_tin",
    .ml_meth = method_cast(adaptive_tin),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "adaptive_tin(boundary, surfaces, max_edge=None)\n--\n\n"
        "Triangulate a polygon to fit gridded surfaces within vertical tolerances.\n\n"
        "The polygon is triangulated with its edges as constraints and refined,\n"
        "iteration by iteration, until linear interpolation over the triangles\n"
        "reproduces every surface within its tolerance at its samples and along\n"
        "the boundary (see the native ``adaptive_tin`` refinement for the rules).\n"
        "The refinement runs with the interpreter lock released.\n\n"
        "Parameters\n"
        "----------\n"
        "boundary : numpy.ndarray\n"
        "    ``(B, 2)`` float64 polygon vertices, without repeating the first.\n"
        "surfaces : sequence of tuple\n"
        "    Per surface ``(grid, samples, boundary_spacing, tolerance)``: the\n"
        "    surface's `StructuredGrid`; the ``(N, 2)`` float64 positions inside\n"
        "    the polygon where the TIN must fit it; the spacing of the points\n"
        "    along the boundary where it must also fit it; and the largest\n"
        "    vertical error to leave there.\n"
        "max_edge : float, optional\n"
        "    The longest edge length allowed for triangles inside the polygon.\n\n"
        "Returns\n"
        "-------\n"
        "vertices, triangles : numpy.ndarray\n"
        "    The ``(V, 2)`` float64 vertex positions and the ``(T, 3)`` int64\n"
        "    counter-clockwise vertex indices of the triangles inside the polygon.",
};

}  // namespace

PyObject* make_adaptive_tin(PyObject*) {
    return make_function(&adaptive_tin_def);
}

}  // namespace orvik::py
