#include <cmath>
#include <cstddef>
#include <new>
#include <utility>

#include "common/quoted.hpp"
#include "hierarchy/hierarchy.hpp"
#include "model/mesh_builder.hpp"

namespace orvik {
namespace {

constexpr float kFloatMax = 3.4028235e38f;
constexpr float kBoxPad = 0.01f;

Error model_error(const std::string& name, const char* text) {
    return Error::value("Model " + quoted(name) + ": " + text);
}

// The checks and the indexing, once the mesh has left the builder.
Result<MeshModel> build_taken(const MeshBuilderState& builder, Finisher finisher, std::string& name,
                              const std::vector<std::array<float, 3>>& vertices,
                              const std::vector<std::array<std::uint32_t, 4>>& faces);

std::size_t per_vertex_entries(const Finisher& finisher) {
    if (const auto* f = std::get_if<Interpolated>(&finisher)) return f->qualities.size();
    return std::get<DepthProfile>(finisher).pairs.size();
}

}  // namespace

bool make_simplex_record(const std::array<float, 3>& a, const std::array<float, 3>& b,
                         const std::array<float, 3>& c, const std::array<float, 3>& d,
                         SimplexRecord& out) {
    // Edge matrix E with columns A-D, B-D, C-D; mRC is row R, column C.
    const float m11 = a[0] - d[0], m12 = b[0] - d[0], m13 = c[0] - d[0];
    const float m21 = a[1] - d[1], m22 = b[1] - d[1], m23 = c[1] - d[1];
    const float m31 = a[2] - d[2], m32 = b[2] - d[2], m33 = c[2] - d[2];

    const float minor_23_23 = m22 * m33 - m32 * m23;
    const float minor_13_23 = m21 * m33 - m31 * m23;
    const float minor_12_23 = m21 * m32 - m31 * m22;
    const float det = (m11 * minor_23_23 - m12 * minor_13_23) + m13 * minor_12_23;
    // A determinant that overflowed to infinity would give an inverse of
    // zeros, which puts every point of the simplex's box inside it. A NaN
    // determinant (a NaN coordinate) gives NaN weights, which contain nothing.
    if (det == 0.0f || std::isinf(det)) return false;

    const float i00 = minor_23_23 / det;
    const float i01 = (m13 * m32 - m33 * m12) / det;
    const float i02 = (m12 * m23 - m22 * m13) / det;
    const float i10 = -minor_13_23 / det;
    const float i11 = (m11 * m33 - m31 * m13) / det;
    const float i12 = (m13 * m21 - m23 * m11) / det;
    const float i20 = minor_12_23 / det;
    const float i21 = (m12 * m31 - m32 * m11) / det;
    const float i22 = (m11 * m22 - m21 * m12) / det;

    const float column_major[9] = {i00, i10, i20, i01, i11, i21, i02, i12, i22};
    // With a finite determinant, an infinite element means a cofactor or the
    // division overflowed: the weights would be wrong, so the simplex counts
    // as degenerate.
    if (!std::isnan(det)) {
        for (float v : column_major) {
            if (!std::isfinite(v)) return false;
        }
    }
    out.origin[0] = d[0];
    out.origin[1] = d[1];
    out.origin[2] = d[2];
    for (int k = 0; k < 9; ++k) out.inverse[k] = column_major[k];
    return true;
}

Result<MeshModel> MeshModel::build(MeshBuilderState& builder, Finisher finisher) {
    if (builder.built) return Error::value("MeshModelBuilder has already built a model");
    // The mesh leaves the builder before any check, so a failed build still
    // leaves it built.
    builder.built = true;
    std::string name = std::exchange(builder.name, std::string());
    std::vector<std::array<float, 3>> vertices = std::move(builder.vertices);
    std::vector<std::array<std::uint32_t, 4>> faces = std::move(builder.faces);
    builder.vertices = {};
    builder.faces = {};
    try {
        return build_taken(builder, std::move(finisher), name, vertices, faces);
    } catch (const std::bad_alloc&) {
        // Running out of memory says nothing about the mesh: give it back so
        // that the build can be tried again once memory is free.
        builder.built = false;
        builder.name = std::move(name);
        builder.vertices = std::move(vertices);
        builder.faces = std::move(faces);
        throw;
    }
}

namespace {

Result<MeshModel> build_taken(const MeshBuilderState& builder, Finisher finisher, std::string& name,
                              const std::vector<std::array<float, 3>>& vertices,
                              const std::vector<std::array<std::uint32_t, 4>>& faces) {
    if (per_vertex_entries(finisher) != vertices.size()) {
        return model_error(name, "the field doesn't cover every vertex or simplex of the mesh");
    }

    // Vertex box in world coordinates.
    std::array<float, 3> lo{kFloatMax, kFloatMax, kFloatMax};
    std::array<float, 3> hi{-kFloatMax, -kFloatMax, -kFloatMax};
    if (!vertices.empty()) {
        std::array<float, 16> inv{};
        const bool mapped = builder.transform.has_value();
        if (mapped && !invert4(*builder.transform, inv)) {
            return Error::value("transform is not invertible (its determinant is zero)");
        }
        for (const auto& v : vertices) {
            std::array<float, 3> p = v;
            if (mapped) {
                for (int k = 0; k < 3; ++k) {
                    p[k] = ((v[0] * inv[k] + v[1] * inv[4 + k]) + v[2] * inv[8 + k]) + inv[12 + k];
                }
            }
            for (int k = 0; k < 3; ++k) {
                if (!(lo[k] <= p[k])) lo[k] = p[k];
                if (!(p[k] <= hi[k])) hi[k] = p[k];
            }
        }
        for (int k = 0; k < 3; ++k) {
            lo[k] = lo[k] - kBoxPad;
            hi[k] = hi[k] + kBoxPad;
        }
    }

    // Simplex records and local boxes, in face order.
    const std::size_t vertex_count = vertices.size();
    std::vector<SimplexRecord> records(faces.size());
    std::vector<hierarchy::Box3> boxes(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
        const auto& face = faces[f];
        for (std::uint32_t index : face) {
            if (index >= vertex_count)
                return model_error(name, "degenerate or out-of-range simplex");
        }
        const auto& a = vertices[face[0]];
        const auto& b = vertices[face[1]];
        const auto& c = vertices[face[2]];
        const auto& d = vertices[face[3]];
        if (!make_simplex_record(a, b, c, d, records[f])) {
            return model_error(name, "degenerate or out-of-range simplex");
        }
        hierarchy::Box3& box = boxes[f];
        for (int k = 0; k < 3; ++k) {
            // std::fmin/fmax let a number win against a NaN.
            box.min[k] = std::fmin(std::fmin(std::fmin(a[k], b[k]), c[k]), d[k]);
            box.max[k] = std::fmax(std::fmax(std::fmax(a[k], b[k]), c[k]), d[k]);
        }
    }

    MeshModel model;
    if (!faces.empty()) {
        if (faces.size() > kMaxIndex) {
            return Error::value("mesh exceeds the compact BVH limit of 2^29 simplices");
        }
        const hierarchy::BinaryTree tree = hierarchy::build(boxes);
        std::vector<std::uint32_t> leaf_order;
        Result<CompactBvh> bvh = CompactBvh::compact(tree, leaf_order);
        if (!bvh) return bvh.error();
        if (leaf_order.size() != faces.size()) {
            return Error::internal("compact BVH lost simplices");
        }
        model.nodes = std::move(bvh->nodes);
        model.root = bvh->root;
        std::vector<SimplexRecord> ordered(faces.size());
        std::vector<std::array<std::uint32_t, 4>> ordered_faces(faces.size());
        for (std::size_t i = 0; i < leaf_order.size(); ++i) {
            const std::uint32_t s = leaf_order[i];
            if (s >= faces.size()) return Error::internal("compact BVH names an unknown simplex");
            ordered[i] = records[s];
            ordered_faces[i] = faces[s];
        }
        model.simplices = std::move(ordered);
        model.faces = std::move(ordered_faces);
    }
    model.vertex_count = vertex_count;
    model.vertex_aabb = {lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]};
    model.transform = builder.transform;
    model.finisher = std::move(finisher);
    model.name = std::move(name);
    model.bounds = builder.bounds;
    model.id = 0;
    model.vertical = builder.vertical;
    model.priority = builder.priority;
    return model;
}

}  // namespace
}  // namespace orvik
