// Lazy best-first enumeration of the models that contain a query point, in
// ascending priority number, and the per-node tests it shares with the
// diagnostics' counting walk.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "model_tree/model_tree.hpp"
#include "tree_query/pending_queue.hpp"

namespace orvik {

struct Hit {
    std::uint8_t priority = 0;
    Quality quality;
};

// A child passes unless a comparison shows the point outside, so a NaN
// coordinate passes; z is always the elevation here.
inline bool box_admits(const TreeBox& b, const QueryPoint& p, float lo, float hi) {
    if (b.min[0] > p.x || p.x > b.max[0]) return false;
    if (b.min[1] > p.y || p.y > b.max[1]) return false;
    if (b.min[2] > p.z || p.z > b.max[2]) return false;
    if (b.min[3] > hi || !(lo < b.max[3])) return false;
    return true;
}

// The model's vertical coordinate for the point.
inline float vertical_coordinate(const MeshModel& m, const QueryPoint& p) {
    return m.vertical == VerticalMode::Depth ? p.depth : p.z;
}

// Whether v lies in the z range of the model's vertex box (NaN is kept).
inline bool within_vertex_z(const MeshModel& m, float v) {
    return !(m.vertex_aabb[2] > v || v > m.vertex_aabb[5]);
}

class HitIterator {
public:
    HitIterator(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo, std::uint8_t hi)
        : tree_(&tree), point_(p), lo_(static_cast<float>(lo)), hi_(static_cast<float>(hi)) {
        if (!tree.nodes.empty()) pending_.push({0, 0.0f});
    }

    // The next hit, or nothing once the enumeration has ended.
    std::optional<Hit> next() {
        while (!pending_.empty()) {
            const PendingEntry e = pending_.pop();
            const TreeNode& node = tree_->nodes[e.node];
            if (!node.is_leaf()) {
                if (box_admits(node.left_box, point_, lo_, hi_))
                    pending_.push({node.left, node.left_box.min[3]});
                if (box_admits(node.right_box, point_, lo_, hi_))
                    pending_.push({node.right, node.right_box.min[3]});
                continue;
            }
            const MeshModel& m = tree_->models[node.model];
            const float p = static_cast<float>(m.priority);
            if (!(lo_ <= p && p <= hi_)) continue;
            const float v = vertical_coordinate(m, point_);
            if (!within_vertex_z(m, v)) continue;
            if (std::optional<Quality> q = MeshModel::query(m, point_.x, point_.y, v))
                return Hit{m.priority, *q};
        }
        return std::nullopt;
    }

    const PendingQueue& pending() const { return pending_; }

private:
    const ModelTree* tree_;
    QueryPoint point_;
    float lo_, hi_;
    PendingQueue pending_;
};

// The opacity tolerance of the compositing fold.
inline constexpr float kOpaqueTolerance = 1e-4f;

inline bool is_opaque(const Quality& q) {
    return std::fabs(q.alpha - 1.0f) <= kOpaqueTolerance;
}

}  // namespace orvik
