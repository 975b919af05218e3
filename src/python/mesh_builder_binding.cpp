// MeshModelBuilder: collects one mesh and finishes it into a PyMeshModel.
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "frame/arrays.hpp"
#include "frame/binding.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"
#include "frame/object.hpp"
#include "frame/ref.hpp"
#include "mesh_model_object.hpp"
#include "model/mesh_builder.hpp"
#include "model_args.hpp"
#include "quality/blend_rows.hpp"
#include "state_methods.hpp"

namespace orvik::py {
namespace {

// --- MeshModelBuilder -----------------------------------------------------------

using BuilderObject = Instance<MeshBuilderState>;

MeshBuilderState& state_of(PyObject* self) {
    return as_instance<MeshBuilderState>(self)->value;
}
BorrowFlag& flag_of(PyObject* self) {
    return as_instance<MeshBuilderState>(self)->flag;
}

// bounds: any sequence of exactly six numbers, each read as a float.
bool to_bounds(PyObject* o, std::array<float, 6>& out) {
    if (!check_sequence(o, "bounds")) return false;
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) {
        add_argument_note("bounds");
        return false;
    }
    if (n != 6) {
        raise_value("expected a sequence of length 6 (got " + std::to_string(n) + ")");
        add_argument_note("bounds");
        return false;
    }
    for (Py_ssize_t i = 0; i < 6; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(o, i));
        if (!item) {
            add_argument_note("bounds");
            return false;
        }
        if (!to_f32(item.get(), "bounds", out[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

// --- constructor -------------------------------------------------------------

constexpr const char* kNewParams[] = {"vertices", "faces", "priority", "vertical", "bounds"};
constexpr Signature kNewSignature{"MeshModelBuilder.__new__", kNewParams, 5, 5};

PyObject* builder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[5];
        if (!bind_tuple(kNewSignature, args, kwargs, slots)) return nullptr;
        ArrayArg<float, 2> vertices;
        ArrayArg<std::uint64_t, 2> faces;
        if (!vertices.extract(slots[0], "vertices") || !faces.extract(slots[1], "faces"))
            return nullptr;
        MeshBuilderState state;
        if (!to_priority(slots[2], "priority", state.priority)) return nullptr;
        if (!to_vertical(slots[3], "vertical", state.vertical)) return nullptr;
        if (!to_bounds(slots[4], state.bounds)) return nullptr;

        const StridedView<float, 2> v = vertices.view();
        if (v.size(0) > 0 && v.size(1) < 3) {
            raise_value("vertices must have at least 3 columns [x, y, z], got " +
                        std::to_string(v.size(1)));
            return nullptr;
        }
        state.vertices.resize(static_cast<std::size_t>(v.size(0)));
        for (std::ptrdiff_t i = 0; i < v.size(0); ++i) {
            state.vertices[static_cast<std::size_t>(i)] = {v.at(i, 0), v.at(i, 1), v.at(i, 2)};
        }

        const StridedView<std::uint64_t, 2> f = faces.view();
        if (f.size(0) > 0 && f.size(1) < 4) {
            raise_value("faces must have at least 4 columns [a, b, c, d], got " +
                        std::to_string(f.size(1)));
            return nullptr;
        }
        state.faces.resize(static_cast<std::size_t>(f.size(0)));
        for (std::ptrdiff_t i = 0; i < f.size(0); ++i) {
            auto& face = state.faces[static_cast<std::size_t>(i)];
            for (int k = 0; k < 4; ++k) {
                const std::uint64_t index = f.at(i, k);
                if (index > 0xFFFFFFFFull) {
                    raise_value("vertex indices must fit in 32 bits");
                    return nullptr;
                }
                face[static_cast<std::size_t>(k)] = static_cast<std::uint32_t>(index);
            }
        }
        return new_instance(type, std::move(state));
    });
}

// --- transform / name ----------------------------------------------------------

constexpr const char* kTransformParams[] = {"transform"};
constexpr Signature kTransformSignature{"MeshModelBuilder.transform", kTransformParams, 1, 1};

PyObject* builder_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kTransformSignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        if (!borrow.exclusive(flag_of(self))) return nullptr;
        ArrayArg<float, 2> array;
        if (!array.extract(slots[0], "transform")) return nullptr;
        const StridedView<float, 2> a = array.view();
        const std::ptrdiff_t rows = a.size(0), cols = a.size(1);
        if (rows * cols < 16) {
            raise_value("transform must have at least 16 elements (a 4x4 array), got " +
                        std::to_string(rows * cols));
            return nullptr;
        }
        std::array<float, 16> t{};
        std::size_t k = 0;
        for (std::ptrdiff_t i = 0; i < rows && k < 16; ++i) {
            for (std::ptrdiff_t j = 0; j < cols && k < 16; ++j) t[k++] = a.at(i, j);
        }
        state_of(self).transform = t;
        return Py_NewRef(self);
    });
}

constexpr const char* kNameParams[] = {"name"};
constexpr Signature kNameSignature{"MeshModelBuilder.name", kNameParams, 1, 1};

PyObject* builder_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kNameSignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        if (!borrow.exclusive(flag_of(self))) return nullptr;
        std::string name;
        if (!to_string(slots[0], "name", name)) return nullptr;
        state_of(self).name = std::move(name);
        return Py_NewRef(self);
    });
}

// --- finishers -------------------------------------------------------------------

PyObject* finish(MeshBuilderState& state, Finisher finisher) {
    Result<MeshModel> model = MeshModel::build(state, std::move(finisher));
    if (!model) {
        raise_error(model.error());
        return nullptr;
    }
    return new_mesh_model_object(std::move(model).value());
}

constexpr const char* kInterpolatedParams[] = {"qualities"};
constexpr Signature kInterpolatedSignature{"MeshModelBuilder.interpolated", kInterpolatedParams, 1,
                                           1};

PyObject* builder_interpolated(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[1];
        if (!bind_fastcall(kInterpolatedSignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        if (!borrow.exclusive(flag_of(self))) return nullptr;
        ArrayArg<float, 2> qualities;
        if (!qualities.extract(slots[0], "qualities")) return nullptr;
        const StridedView<float, 2> q = qualities.view();
        if (q.size(0) > 0 && q.size(1) < static_cast<std::ptrdiff_t>(kQualityColumns)) {
            raise_value("qualities must have at least " + std::to_string(kQualityColumns) +
                        " columns " + quality_names_text() + ", got " + std::to_string(q.size(1)));
            return nullptr;
        }
        std::vector<Quality> per_vertex(static_cast<std::size_t>(q.size(0)));
        for (std::ptrdiff_t i = 0; i < q.size(0); ++i) {
            per_vertex[static_cast<std::size_t>(i)] = read_quality_row(q, i);
        }
        return finish(state_of(self), Interpolated{std::move(per_vertex)});
    });
}

constexpr const char* kProfileParams[] = {"alpha", "depth", "tops", "layers"};
constexpr Signature kProfileSignature{"MeshModelBuilder.depth_profile", kProfileParams, 4, 4};

PyObject* builder_depth_profile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* slots[4];
        if (!bind_fastcall(kProfileSignature, args, nargs, kwnames, slots)) return nullptr;
        BorrowGuard borrow;
        if (!borrow.exclusive(flag_of(self))) return nullptr;
        ArrayArg<float, 1> alpha, depth, tops;
        ArrayArg<float, 2> layers;
        if (!alpha.extract(slots[0], "alpha") || !depth.extract(slots[1], "depth") ||
            !tops.extract(slots[2], "tops") || !layers.extract(slots[3], "layers")) {
            return nullptr;
        }
        const StridedView<float, 1> a = alpha.view(), d = depth.view(), t = tops.view();
        const StridedView<float, 2> l = layers.view();
        // A layer's quality without its alpha, which the vertices give.
        constexpr std::ptrdiff_t kLayerColumns = column::alpha;
        if (l.size(1) != kLayerColumns) {
            raise_value("profile qualities must have " + std::to_string(kLayerColumns) +
                        " columns " + quality_names_text(kLayerColumns) + ", got " +
                        std::to_string(l.size(1)));
            return nullptr;
        }
        if (l.size(0) == 0) {
            raise_value("depth profile has no layers");
            return nullptr;
        }
        if (t.size() != l.size(0)) {
            raise_value("profile tops and qualities differ in length");
            return nullptr;
        }
        // The first top is ignored: layer 0 reaches up without limit.
        for (std::ptrdiff_t i = 1; i < t.size(); ++i) {
            const bool nan = t.at(i) != t.at(i);
            if (nan || (i >= 2 && !(t.at(i) > t.at(i - 1)))) {
                raise_value("profile layer tops must strictly increase");
                return nullptr;
            }
        }
        if (a.size() != d.size()) {
            raise_value("depth profile needs one alpha and one depth per vertex");
            return nullptr;
        }
        DepthProfile profile;
        profile.layers.reserve(static_cast<std::size_t>(l.size(0)));
        for (std::ptrdiff_t i = 0; i < l.size(0); ++i) {
            Quality::Columns layer{};
            for (std::ptrdiff_t k = 0; k < kLayerColumns; ++k) {
                layer[static_cast<std::size_t>(k)] = l.at(i, k);
            }
            layer[column::alpha] = 1.0f;
            profile.layers.push_back(Quality::from_columns(layer.data()));
        }
        profile.tops.reserve(static_cast<std::size_t>(t.size() - 1));
        for (std::ptrdiff_t i = 1; i < t.size(); ++i) profile.tops.push_back(t.at(i));
        std::vector<DepthAlpha> pairs(static_cast<std::size_t>(a.size()));
        for (std::ptrdiff_t i = 0; i < a.size(); ++i)
            pairs[static_cast<std::size_t>(i)] = {d.at(i), a.at(i)};
        profile.pairs = std::move(pairs);
        return finish(state_of(self), std::move(profile));
    });
}

PyMethodDef builder_methods[] = {
    {
        .ml_name = "transform",
        .ml_meth = method_cast(builder_transform),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "transform($self, transform)\n--\n\n"
                  "Set the 4\u00d74 world-to-local affine transform.",
    },
    {
        .ml_name = "name",
        .ml_meth = method_cast(builder_name),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "name($self, name)\n--\n\n"
                  "Set the human-readable name (empty by default).",
    },
    {
        .ml_name = "interpolated",
        .ml_meth = method_cast(builder_interpolated),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "interpolated($self, qualities)\n--\n\n"
                  "Finish with barycentric interpolation of the ``(N, 6)`` quality of\n"
                  "each vertex.",
    },
    {
        .ml_name = "depth_profile",
        .ml_meth = method_cast(builder_depth_profile),
        .ml_flags = METH_FASTCALL | METH_KEYWORDS,
        .ml_doc = "depth_profile($self, alpha, depth, tops, layers)\n--\n\n"
                  "Finish with a 1-D depth profile, evaluated at the barycentrically\n"
                  "interpolated depth below the profile's reference surface.\n\n"
                  "Parameters\n"
                  "----------\n"
                  "alpha\n"
                  "    ``(N,)`` alpha of each vertex.\n"
                  "depth\n"
                  "    ``(N,)`` depth of each vertex below the reference surface.\n"
                  "tops\n"
                  "    ``(L,)`` depth of the top of each layer, strictly increasing after\n"
                  "    the first, which is ignored: the first layer extends upwards\n"
                  "    without limit.\n"
                  "layers\n"
                  "    ``(L, 5)`` ``[rho, vp, vs, qp, qs]`` of each layer.",
    },
    {
        .ml_name = "__reduce__",
        .ml_meth = method_cast(builder_reduce),
        .ml_flags = METH_NOARGS,
        .ml_doc = kBuilderReduceDoc,
    },
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("MeshModelBuilder(vertices, faces, priority, vertical, bounds)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(builder_new)},
    {Py_tp_methods, builder_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MeshBuilderState>)},
    {0, nullptr},  // sentinel
};

PyType_Spec builder_spec = {
    .name = "orvik.MeshModelBuilder",
    .basicsize = sizeof(BuilderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = builder_slots,
};

HeapType builder_type{builder_spec};

}  // namespace

PyObject* make_MeshModelBuilder(PyObject* module) {
    return builder_type.new_reference(module);
}

}  // namespace orvik::py
