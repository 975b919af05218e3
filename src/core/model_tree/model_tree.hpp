// The velocity model: models of every kind (model_tree/model.hpp) layered by
// priority, indexed by a four-dimensional hierarchy whose fourth axis (w)
// carries priority.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model_tree/model.hpp"
#include "quality/quality.hpp"

namespace orvik {

// x, y, z and w (priority). A model spans [p, p + 0.5] on w so that the
// query's test "min.w <= hi and max.w > lo" selects exactly lo <= p <= hi.
struct TreeBox {
    float min[4];
    float max[4];
};

inline constexpr std::uint32_t kTreeInterior = 0xFFFFFFFFu;

// A leaf names one model; an interior node stores both children with their
// subtree boxes, so a visit of the parent tests both children.
struct TreeNode {
    std::uint32_t model = kTreeInterior;  // leaf: index into ModelTree::models
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    TreeBox left_box{};
    TreeBox right_box{};

    bool is_leaf() const { return model != kTreeInterior; }
};

// Query point: horizontal position, elevation z and depth below topography.
struct QueryPoint {
    float x = 0, y = 0, z = 0, depth = 0;
};

class HitIterator;  // model_tree/hit_iterator.hpp

struct ModelTree {
    std::vector<TreeNode> nodes;  // root 0; 2n - 1 for n >= 1 models
    std::vector<Model> models;    // list order; model k has id k

    // Takes the models over, numbers them by position and builds the
    // hierarchy. Deterministic: the same models always give the same nodes.
    // Should memory run out (std::bad_alloc), `models` is left as it was.
    static ModelTree build(std::vector<Model>&& models);
    // The same for mesh models alone.
    static ModelTree build(std::vector<MeshModel>&& models);

    // The hierarchy over the models' tree boxes, 2n - 1 nodes with the root 0.
    static std::vector<TreeNode> build_nodes(const std::vector<Model>& models);

    // The model's bounds on x, y and z, and [p, p + 0.5] on w.
    static TreeBox model_box(const Model& model);

    // Union of the declared bounds of all models (min xyz, max xyz).
    static Result<std::array<float, 6>> aabb(const ModelTree& tree);

    // Record, node and per-model byte estimate reported by the view.
    static std::uint64_t size_estimate(const ModelTree& tree);

    // The printed summary: a header line and one line per model.
    static std::string structure_text(const ModelTree& tree);

    // Lazily enumerates, in ascending priority, the models of [lo, hi] that
    // contain the point, with their qualities.
    static HitIterator hits(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo,
                            std::uint8_t hi);

    // Front-to-back "over" composite of the hits, stopping once opaque.
    static std::optional<Quality> query(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo,
                                        std::uint8_t hi);
};

}  // namespace orvik
