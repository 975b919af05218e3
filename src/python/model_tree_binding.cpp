// model_tree and PyModelTree: the compiled velocity model and its queries.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

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
#include "model_tree/model_tree.hpp"
#include "model_tree/tree_query.hpp"
#include "query_objects.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// --- PyModelTree ----------------------------------------------------------------

using TreeObject = Instance<ModelTree>;

// Binds, borrows the receiver shared and converts (x, y, z, depth).
bool point_args(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** slots, BorrowGuard& guard, QueryPoint& p) {
    if (!bind_fastcall(sig, args, nargs, kwnames, slots)) return false;
    if (!guard.shared(as_instance<ModelTree>(self)->flag)) return false;
    return to_f32(slots[0], "x", p.x) && to_f32(slots[1], "y", p.y) && to_f32(slots[2], "z", p.z) &&
           to_f32(slots[3], "depth", p.depth);
}

constexpr const char* kQueryParams[] = {"x", "y", "z", "depth", "priority_lo", "priority_hi"};
constexpr Signature kQuerySignature{"PyModelTree.query", kQueryParams, 6, 6};

PyObject* tree_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[6];
        BorrowGuard guard;
        QueryPoint p;
        if (!point_args(kQuerySignature, self, args, nargs, kwnames, slots, guard, p))
            return nullptr;
        std::uint8_t lo = 0, hi = 0;
        if (!to_priority(slots[4], "priority_lo", lo) || !to_priority(slots[5], "priority_hi", hi))
            return nullptr;
        return optional_quality(ModelTree::query(as_instance<ModelTree>(self)->value, p, lo, hi));
    });
}

PyObject* tree_aabb(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard guard;
        if (!guard.shared(as_instance<ModelTree>(self)->flag)) return nullptr;
        Result<std::array<float, 6>> box = ModelTree::aabb(as_instance<ModelTree>(self)->value);
        if (!box) {
            raise_error(box.error());
            return nullptr;
        }
        return box_arrays(box.value());
    });
}

constexpr const char* kPointParams[] = {"x", "y", "z", "depth"};
constexpr Signature kStatsSignature{"PyModelTree.query_stats", kPointParams, 4, 4};
constexpr Signature kExplainSignature{"PyModelTree.explain", kPointParams, 4, 4};

PyObject* tree_query_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        BorrowGuard guard;
        QueryPoint p;
        if (!point_args(kStatsSignature, self, args, nargs, kwnames, slots, guard, p))
            return nullptr;
        const QueryStats s = query_stats(as_instance<ModelTree>(self)->value, p);
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        if (!set_item(d, "aabb_tests", PyLong_FromUnsignedLongLong(s.aabb_tests)) ||
            !set_item(d, "simplex_tests", PyLong_FromUnsignedLongLong(s.simplex_tests)) ||
            !set_item(d, "hit_count", PyLong_FromUnsignedLongLong(s.hit_count)) ||
            !set_item(d, "output", optional_quality(s.output)) ||
            !set_item(d, "elapsed", PyLong_FromUnsignedLongLong(s.elapsed_ns))) {
            return nullptr;
        }
        return dict.release();
    });
}

// What a contribution of a grid or columns model adds to its "priority" and
// "quality": the model's kind, id and name, and where the point fell in it
// (add_whereabouts). A mesh model's contribution stays as it is.
bool describe_source(PyObject* entry, const Model& model, const QueryPoint& p) {
    if (std::holds_alternative<MeshModel>(model)) return true;
    const float v = vertical_coordinate(gate_of(model), p);
    const auto common = [&](const char* kind) {
        return set_item(entry, "kind", PyUnicode_FromString(kind)) &&
               set_item(entry, "model", PyLong_FromUnsignedLongLong(id_of(model))) &&
               set_item(entry, "name", text(name_of(model)));
    };
    return std::visit(
        [&](const auto& m) {
            using Kind = std::decay_t<decltype(m)>;
            return common(Kind::kKindName) && add_whereabouts(entry, m, p.x, p.y, v);
        },
        model);
}

PyObject* tree_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        BorrowGuard guard;
        QueryPoint p;
        if (!point_args(kExplainSignature, self, args, nargs, kwnames, slots, guard, p))
            return nullptr;
        const Explanation ex = explain(as_instance<ModelTree>(self)->value, p);
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Hit& h : ex.contributions) {
            Ref entry = Ref::steal(PyDict_New());
            if (!entry || !set_item(entry.get(), "priority", PyLong_FromLong(h.priority)) ||
                !set_item(entry.get(), "quality", quality_dict(h.quality)) ||
                !describe_source(entry.get(), *h.model, p) ||
                PyList_Append(list.get(), entry.get()) < 0) {
                return nullptr;
            }
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        PyObject* d = dict.get();
        if (!set_item(d, "contributions", list.release()) ||
            !set_item(d, "output", optional_quality(ex.output)) ||
            !set_item(d, "termination",
                      ex.termination ? PyLong_FromUnsignedLongLong(*ex.termination)
                                     : Py_NewRef(Py_None))) {
            return nullptr;
        }
        return dict.release();
    });
}

PyObject* tree_view(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard guard;
        if (!guard.shared(as_instance<ModelTree>(self)->flag)) return nullptr;
        const ModelTree& tree = as_instance<ModelTree>(self)->value;
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        for (const Model& m : tree.models) {
            Ref d = Ref::steal(model_view(m));
            if (!d || PyList_Append(list.get(), d.get()) < 0) return nullptr;
        }
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        if (!set_item(dict.get(), "models", list.release()) ||
            !set_item(dict.get(), "size",
                      PyLong_FromUnsignedLongLong(ModelTree::size_estimate(tree)))) {
            return nullptr;
        }
        return dict.release();
    });
}

constexpr const char* kManyParams[] = {"out", "coords", "params"};
constexpr Signature kManySignature{"PyModelTree.query_many", kManyParams, 3, 3};

PyObject* tree_query_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[3];
        if (!bind_fastcall(kManySignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard guard;
        if (!guard.shared(as_instance<ModelTree>(self)->flag)) return nullptr;

        ArrayArg<float, 2> out;
        if (!out.extract(slots[0], "out", Access::Write)) return nullptr;
        if (!check_instance(slots[1], query_coordinates_type(), "QueryCoordinates", "coords"))
            return nullptr;
        BorrowGuard coords_guard;
        if (!coords_guard.shared(as_instance<QueryCoordinatesValue>(slots[1])->flag))
            return nullptr;
        const QueryCoordinatesValue& coords = as_instance<QueryCoordinatesValue>(slots[1])->value;
        if (!check_instance(slots[2], query_params_type(), "QueryParams", "params")) return nullptr;
        QueryParamsValue params;
        {
            BorrowGuard params_guard;
            if (!params_guard.shared(as_instance<QueryParamsValue>(slots[2])->flag)) return nullptr;
            params = as_instance<QueryParamsValue>(slots[2])->value;
        }

        // The arrays were checked when the coordinates were bundled, but their
        // owner may have reshaped them in place since: check them again now.
        ArrayArg<float, 1> x, y, z, depth;
        if (!x.extract(coords.x, "x") || !y.extract(coords.y, "y") || !z.extract(coords.z, "z") ||
            !depth.extract(coords.depth, "depth"))
            return nullptr;
        const std::ptrdiff_t n = x.size();
        if (y.size() != n || z.size() != n || depth.size() != n) {
            raise_value("x, y, z, depth must have the same length; got x=" + std::to_string(n) +
                        ", y=" + std::to_string(y.size()) + ", z=" + std::to_string(z.size()) +
                        ", depth=" + std::to_string(depth.size()));
            return nullptr;
        }
        constexpr std::ptrdiff_t kColumns = kQualityColumns;
        if (out.size(0) != n || out.size(1) != kColumns) {
            raise_value("out must have shape (" + std::to_string(n) + ", " +
                        std::to_string(kColumns) + "); got [" + std::to_string(out.size(0)) + ", " +
                        std::to_string(out.size(1)) + "]");
            return nullptr;
        }
        ArrayArg<std::uint8_t, 1> mask;
        QueryRows rows{x.view(),     y.view(),     z.view(),
                       depth.view(), std::nullopt, out.mutable_view()};
        if (coords.mask) {
            if (!mask.extract(coords.mask, "mask", Access::Read, NPY_BOOL)) return nullptr;
            if (mask.size() != n) {
                raise_value("where mask must have length " + std::to_string(n) + "; got " +
                            std::to_string(mask.size()));
                return nullptr;
            }
            rows.mask = mask.view();
        }
        // Ordering scratch is taken while the lock is held: should memory run
        // out, MemoryError is raised before any row is written.
        QueryScratch scratch(n);
        bool done = false;
        {
            AllowThreads unlocked;
            done = query_rows(as_instance<ModelTree>(self)->value, rows, params.priority_lo,
                              params.priority_hi, scratch, unlocked.interrupt());
        }
        if (!done) return nullptr;  // a signal handler raised; its exception is set
        Py_RETURN_NONE;
    });
}

// Writes all of `text` to file descriptor 1, bypassing sys.stdout.
bool write_stdout(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t w = ::write(1, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return true;
}

PyObject* tree_print_structure(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        BorrowGuard guard;
        if (!guard.shared(as_instance<ModelTree>(self)->flag)) return nullptr;
        const std::string text = ModelTree::structure_text(as_instance<ModelTree>(self)->value);
        if (!write_stdout(text)) {
            raise_internal("failed to write the model tree structure to stdout: " +
                           std::string(std::strerror(errno)));
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef tree_methods[] = {
    {
        .ml_name = "query",
        .ml_meth = method_cast(tree_query),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query($self, x, y, z, depth, priority_lo, priority_hi)\n--\n\n"
                  "Query the velocity model at a single point.\n\n"
                  "Only models whose priority falls in ``[priority_lo, priority_hi]`` contribute;\n"
                  "the range 0 to 255 queries all models. `depth` is the point's depth below the\n"
                  "topography, which depth-queried models read in place of `z`.\n\n"
                  "Returns a dict ``{rho, vp, vs, qp, qs, alpha}``, or `None` if the point is\n"
                  "outside all models.",
    },
    {
        .ml_name = "aabb",
        .ml_meth = method_cast(tree_aabb),
        .ml_flags = METH_NOARGS,
        .ml_doc = "aabb($self)\n--\n\n"
                  "Return the combined 3-D axis-aligned bounding box of all mesh models.\n\n"
                  "Returns a pair ``(min_xyz, max_xyz)`` of shape-``(3,)`` float32 arrays.",
    },
    {
        .ml_name = "query_stats",
        .ml_meth = method_cast(tree_query_stats),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query_stats($self, x, y, z, depth)\n--\n\n"
                  "Query with BVH traversal statistics (AABB tests, simplex tests, etc.).\n\n"
                  "Returns a dict with keys `aabb_tests`, `simplex_tests`, `hit_count`,\n"
                  "`output` (quality dict or `None`) and `elapsed` (nanoseconds).",
    },
    {
        .ml_name = "explain",
        .ml_meth = method_cast(tree_explain),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "explain($self, x, y, z, depth)\n--\n\n"
                  "Return a full diagnostic breakdown listing each model's contribution.\n\n"
                  "Returns a dict with keys `contributions` (list of dicts), `output` (quality\n"
                  "dict or `None`) and `termination` (int or `None`).",
    },
    {
        .ml_name = "view",
        .ml_meth = method_cast(tree_view),
        .ml_flags = METH_NOARGS,
        .ml_doc = "view($self)\n--\n\n"
                  "Return a serialisable Python dict describing the model tree structure.",
    },
    {
        .ml_name = "query_many",
        .ml_meth = method_cast(tree_query_many),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "query_many($self, out, coords, params)\n--\n\n"
                  "Query the model for many points at once, writing results into a\n"
                  "caller-supplied output buffer (ufunc style).\n\n"
                  "Python is responsible for allocating (and zeroing) `out` before the call;\n"
                  "this avoids an allocation in the native code and lets the caller reuse\n"
                  "memory across calls.\n\n"
                  "Parameters\n"
                  "----------\n"
                  "out : ndarray\n"
                  "    ``(N, 6)`` float32 array that receives the results in place, columns\n"
                  "    ordered ``[rho, vp, vs, qp, qs, alpha]``. Rows for points outside all\n"
                  "    matching models are left unchanged.\n"
                  "coords : QueryCoordinates\n"
                  "    The four ``(N,)`` float32 coordinate arrays and an optional boolean mask.\n"
                  "params : QueryParams\n"
                  "    The priority bounds; ``QueryParams(0, 255)`` selects all models.\n\n"
                  "The interpreter lock is released during the hot loop, so other Python\n"
                  "threads can run concurrently.",
    },
    {
        .ml_name = "print_structure",
        .ml_meth = method_cast(tree_print_structure),
        .ml_flags = METH_NOARGS,
        .ml_doc = "print_structure($self)\n--\n\n"
                  "Print a human-readable summary of the model tree to stdout.",
    },
    ORVIK_STATE_METHODS(tree_from_state),
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python-facing velocity model (a compiled [`ModelTree`]).")},
    {Py_tp_methods, tree_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ModelTree>)},
    {0, nullptr},  // sentinel
};

PyType_Spec tree_spec = {
    .name = "orvik.PyModelTree",
    .basicsize = sizeof(TreeObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = tree_slots,
};

HeapType tree_type{tree_spec};

// --- model_tree -----------------------------------------------------------------

constexpr const char* kModelTreeParams[] = {"mesh_models"};
constexpr Signature kModelTreeSignature{"model_tree", kModelTreeParams, 1, 1};

// Every item is checked (type, not yet consumed, not listed twice) while all of
// them are held exclusively, and the models are taken only when all pass: a
// failing call leaves every model it was given usable.
PyObject* model_tree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kModelTreeSignature, args, nargs, kwnames, slots)) return nullptr;
        PyObject* seq = slots[0];
        if (!check_sequence(seq, "mesh_models")) return nullptr;

        struct Item {
            Ref object;
            std::size_t kind;  // its Model alternative
        };
        std::vector<Item> items;
        const Py_ssize_t hint = PySequence_Size(seq);
        if (hint < 0)
            PyErr_Clear();
        else
            items.reserve(static_cast<std::size_t>(hint));
        {
            Ref iter = Ref::steal(PyObject_GetIter(seq));
            if (!iter) {
                add_argument_note("mesh_models");
                return nullptr;
            }
            while (PyObject* item = PyIter_Next(iter.get())) {
                Ref owned = Ref::steal(item);
                // A holder of any model kind; the message names the mesh
                // model's, the one kind of the module's own interface.
                const std::optional<std::size_t> kind = held_kind(item);
                if (!kind) {
                    type_mismatch(item, "PyMeshModel", "mesh_models");
                    return nullptr;
                }
                items.push_back({std::move(owned), *kind});
            }
            if (PyErr_Occurred()) {
                add_argument_note("mesh_models");
                return nullptr;
            }
        }

        std::vector<BorrowGuard> held(items.size());
        std::unordered_set<PyObject*> seen;
        seen.reserve(items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
            PyObject* item = items[k].object.get();
            const std::size_t kind = items[k].kind;
            // A second listing of one object would be consumed by its first.
            bool consumed = !seen.insert(item).second;
            if (!consumed) {
                if (!held[k].exclusive(held_flag(item, kind))) {
                    PyErr_Clear();
                    raise_internal(std::string("Already borrowed: the ") + class_name(kind) +
                                   " is in use by another call");
                    return nullptr;
                }
                consumed = !held_full(item, kind);
            }
            if (consumed) {
                raise_value(std::string(record_name(kind)) +
                            " has already been consumed by a previous model_tree() call");
                return nullptr;
            }
        }

        std::vector<Model> models;
        models.reserve(items.size());
        for (const Item& item : items) models.push_back(take_held(item.object.get(), item.kind));
        std::optional<ModelTree> tree;
        try {
            tree.emplace(ModelTree::build(std::move(models)));
        } catch (const std::bad_alloc&) {
            // Out of memory: every model goes back to its holder, still usable.
            for (std::size_t k = 0; k < items.size(); ++k) {
                put_back(items[k].object.get(), std::move(models[k]));
            }
            throw;
        }
        held.clear();
        return new_instance(tree_type, std::move(*tree));
    });
}

PyMethodDef model_tree_def = {
    .ml_name = "model_tree",
    .ml_meth = method_cast(model_tree),
    .ml_flags = METH_FASTCALL | METH_KEYWORDS,
    .ml_doc =
        "model_tree(mesh_models)\n--\n\n"
        "Combine one or more [`PyMeshModel`]s into a queryable [`PyModelTree`].\n\n"
        "Each `PyMeshModel` is consumed (its inner data is moved out), so it cannot\n"
        "be reused after this call.\n\n"
        "# Errors\n\n"
        "Returns `ValueError` if a `PyMeshModel` has already been consumed.",
};

}  // namespace

PyObject* make_PyModelTree(PyObject* module) {
    return tree_type.new_reference(module);
}

PyObject* make_model_tree(PyObject*) {
    return make_function(&model_tree_def);
}

HeapType& model_tree_type() {
    return tree_type;
}

}  // namespace orvik::py
