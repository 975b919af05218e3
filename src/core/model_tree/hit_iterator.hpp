// Lazy best-first enumeration of the models that contain a query point, in
// ascending priority number, and the per-node tests it shares with the
// diagnostics' counting walk.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

#include "model_tree/model_tree.hpp"
#include "model_tree/pending_queue.hpp"

namespace orvik {

struct Hit {
    std::uint8_t priority = 0;
    Quality quality;
    const Model* model = nullptr;  // the model that gave it
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

// Whether the model's priority lies in [lo, hi], the range a query asks for.
inline bool within_priorities(const ModelGate& g, float lo, float hi) {
    return lo <= g.priority && g.priority <= hi;
}

// The model's vertical coordinate for the point.
inline float vertical_coordinate(const ModelGate& g, const QueryPoint& p) {
    return g.vertical == VerticalMode::Depth ? p.depth : p.z;
}

// Whether v lies in the model's vertical range (a mesh model's vertex box;
// NaN is kept).
inline bool within_vertical_range(const ModelGate& g, float v) {
    return !(g.v_range[0] > v || v > g.v_range[1]);
}

// A model that the enumeration has reached and that must now be asked for
// the point's quality, with the vertical coordinate that it reads.
struct Candidate {
    const Model* model = nullptr;
    float v = 0;
};

class HitIterator {
  public:
    HitIterator(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo, std::uint8_t hi)
        : tree_(&tree), point_(p), lo_(static_cast<float>(lo)), hi_(static_cast<float>(hi)) {
        if (!tree.nodes.empty()) pending_.push({0, 0.0f});
    }

    // The next hit, or nothing once the enumeration has ended.
    std::optional<Hit> next() {
        while (std::optional<Candidate> c = next_candidate()) {
            if (std::optional<Quality> q = query_model(*c->model, point_.x, point_.y, c->v))
                return Hit{priority_of(*c->model), *q, c->model};
        }
        return std::nullopt;
    }

    // The walk of `next` up to the next model to locate the point in, or
    // nothing once the enumeration has ended. A caller that steps several
    // enumerations together locates the candidate itself; when the model
    // does not contain the point it asks for the next candidate, when it
    // does that is the hit `next` would have returned.
    std::optional<Candidate> next_candidate() {
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
            const Model& m = tree_->models[node.model];
            const ModelGate g = gate_of(m);
            if (!within_priorities(g, lo_, hi_)) continue;
            const float v = vertical_coordinate(g, point_);
            if (!within_vertical_range(g, v)) continue;
            return Candidate{&m, v};
        }
        return std::nullopt;
    }

    const QueryPoint& point() const { return point_; }
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

// The compositing rule, front to back: the first hit's quality as it is,
// every later hit blended behind the running composite, and no hit after an
// opaque composite makes any difference.
class Composite {
  public:
    // False once the composite is opaque: a further hit would be discarded.
    bool wants_more() const { return !acc_ || !is_opaque(*acc_); }
    void add(const Quality& q) { acc_ = acc_ ? Quality::blend(*acc_, q) : q; }
    const std::optional<Quality>& result() const { return acc_; }

  private:
    std::optional<Quality> acc_;
};

// How a fold over the hits treats the hits after the composite is opaque.
enum class PastOpaque {
    Skip,      // the query: takes no further hit
    TakeOne,   // the statistics: takes one more hit, as the plain fold does, and stops
    BlendAll,  // the explanation: takes and blends every hit
};

// The fold over the hits of `it`. `seen(hit, opaque)` is told of every hit
// taken, with whether the composite was already opaque before it.
template <PastOpaque Mode, class Seen>
std::optional<Quality> fold_hits(HitIterator& it, Seen&& seen) {
    Composite c;
    for (;;) {
        const bool opaque = !c.wants_more();
        if (Mode == PastOpaque::Skip && opaque) break;
        std::optional<Hit> h = it.next();
        if (!h) break;
        seen(*h, opaque);
        if (Mode == PastOpaque::TakeOne && opaque) break;
        c.add(h->quality);
    }
    return c.result();
}

}  // namespace orvik
