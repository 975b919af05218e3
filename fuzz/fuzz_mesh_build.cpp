// Drives what a caller hands MeshModelBuilder straight into MeshModel::build:
// any vertex positions, face indices (in and out of range), transforms and
// either finisher with a per-vertex list of any length; then queries the
// model and a model tree made of it through every read path.
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "model/mesh_builder.hpp"
#include "model/mesh_model.hpp"
#include "model_tree/model_tree.hpp"
#include "model_tree/tree_query.hpp"

namespace {

using orvik::fuzz::Input;

orvik::Quality quality(Input& in) {
    return {in.f32(), in.f32(), in.f32(), in.f32(), in.f32(), in.f32()};
}

// A per-vertex list one shorter, as long as, or one longer than the mesh.
std::size_t entries(Input& in, std::size_t vertices) {
    const std::uint8_t b = in.byte();
    if (b == 0xFF) return vertices + 1;
    if (b == 0xFE && vertices > 0) return vertices - 1;
    return vertices;
}

orvik::Finisher finisher(Input& in, std::size_t vertices) {
    const std::size_t n = entries(in, vertices);
    if ((in.byte() & 1) == 0) {
        std::vector<orvik::Quality> qualities;
        for (std::size_t i = 0; i < n; ++i) qualities.push_back(quality(in));
        return orvik::Interpolated{std::move(qualities)};
    }
    orvik::DepthProfile f;
    std::vector<orvik::DepthAlpha> pairs;
    for (std::size_t i = 0; i < n; ++i) {
        const float depth = in.f32();
        pairs.push_back({depth, in.f32()});
    }
    f.pairs = std::move(pairs);
    const std::size_t layers = 1 + in.byte() % 4;
    // Stored tops as the binding admits them: no NaN, strictly increasing.
    float top = in.f32();
    if (top != top) top = 0.0f;
    for (std::size_t i = 1; i < layers; ++i) {
        f.tops.push_back(top);
        const float step = in.f32();
        const float next = top + (step > 0.0f ? step : 1.0f);
        if (!(next > top)) break;
        top = next;
    }
    for (std::size_t i = 0; i <= f.tops.size(); ++i) {
        orvik::Quality q = quality(in);
        q.alpha = 1.0f;
        f.layers.push_back(q);
    }
    return f;
}

void query_everything(const orvik::MeshModel& model, Input& in) {
    (void)orvik::MeshModel::tree_depth(model);
    (void)orvik::MeshModel::size_estimate(model);
    for (int i = 0; i < 4; ++i) {
        const float x = in.f32(), y = in.f32(), z = in.f32();
        (void)orvik::MeshModel::query(model, x, y, z);
    }

    std::vector<orvik::MeshModel> models;
    const std::size_t copies = 1 + in.byte() % 3;
    for (std::size_t i = 0; i < copies; ++i) {
        models.push_back(model);
        models.back().priority = in.byte();
        models.back().vertical =
            (in.byte() & 1) ? orvik::VerticalMode::Depth : orvik::VerticalMode::Elevation;
    }
    const orvik::ModelTree tree = orvik::ModelTree::build(std::move(models));
    (void)orvik::ModelTree::aabb(tree);
    (void)orvik::ModelTree::size_estimate(tree);
    (void)orvik::ModelTree::structure_text(tree);
    for (int i = 0; i < 3; ++i) {
        const orvik::QueryPoint p{in.f32(), in.f32(), in.f32(), in.f32()};
        const std::uint8_t lo = in.byte(), hi = in.byte();
        (void)orvik::ModelTree::query(tree, p, lo, hi);
        (void)orvik::query_stats(tree, p);
        (void)orvik::explain(tree, p);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    orvik::MeshBuilderState builder;
    const std::size_t nv = in.byte() % 17;
    for (std::size_t i = 0; i < nv; ++i) builder.vertices.push_back({in.f32(), in.f32(), in.f32()});
    const std::size_t nf = in.byte() % 17;
    for (std::size_t i = 0; i < nf; ++i) {
        std::array<std::uint32_t, 4> face{};
        for (auto& index : face) {
            const std::uint8_t b = in.byte();
            index = b < 0xF0 ? static_cast<std::uint32_t>(b % (nv + 1)) : in.u32();
        }
        builder.faces.push_back(face);
    }
    for (auto& b : builder.bounds) b = in.f32();
    if (in.byte() & 1) {
        std::array<float, 16> t{};
        for (auto& v : t) v = in.f32();
        builder.transform = t;
    }
    builder.vertical =
        (in.byte() & 1) ? orvik::VerticalMode::Depth : orvik::VerticalMode::Elevation;
    builder.priority = in.byte();
    builder.name = in.text(12);

    orvik::Finisher f = finisher(in, nv);
    orvik::Result<orvik::MeshModel> model = orvik::MeshModel::build(builder, std::move(f));
    // A second build must refuse, whatever the first did.
    orvik::Result<orvik::MeshModel> again = orvik::MeshModel::build(builder, orvik::Interpolated{});
    if (again.ok()) __builtin_trap();
    if (model.ok()) query_everything(model.value(), in);
    return 0;
}
