#include "tree_query/tree_query.hpp"

#include <array>
#include <chrono>

namespace orvik {

HitIterator ModelTree::hits(const ModelTree& tree, const QueryPoint& p, std::uint8_t lo,
                            std::uint8_t hi) {
    return HitIterator(tree, p, lo, hi);
}

std::optional<Quality> ModelTree::query(const ModelTree& tree, const QueryPoint& p,
                                        std::uint8_t lo, std::uint8_t hi) {
    HitIterator it(tree, p, lo, hi);
    std::optional<Hit> first = it.next();
    if (!first) return std::nullopt;
    Quality acc = first->quality;
    // Once the composite is opaque the next hit would be discarded whatever it
    // is; locating it is pure work (the diagnostics still count it), so the
    // fold stops before taking it. The result is the same.
    while (!is_opaque(acc)) {
        std::optional<Hit> h = it.next();
        if (!h) break;
        acc = Quality::blend(acc, h->quality);
    }
    return acc;
}

namespace {

inline void write_row(float* row, std::ptrdiff_t col_stride, const Quality& q) {
    const float v[6] = {q.rho, q.vp, q.vs, q.qp, q.qs, q.alpha};
    for (int k = 0; k < 6; ++k) {
        *reinterpret_cast<float*>(reinterpret_cast<char*>(row) + k * col_stride) = v[k];
    }
}

}  // namespace

bool query_rows(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo, std::uint8_t hi,
                const Interrupt& stop) {
    constexpr std::ptrdiff_t kBlock = 4096;  // rows between two stop polls
    const std::ptrdiff_t n = rows.x.size();
    const bool dense = rows.x.contiguous() && rows.y.contiguous() && rows.z.contiguous() &&
                       rows.depth.contiguous() && rows.out.contiguous() &&
                       (!rows.mask || rows.mask->contiguous());
    if (dense) {
        const float* x = reinterpret_cast<const float*>(rows.x.data);
        const float* y = reinterpret_cast<const float*>(rows.y.data);
        const float* z = reinterpret_cast<const float*>(rows.z.data);
        const float* d = reinterpret_cast<const float*>(rows.depth.data);
        const std::uint8_t* mask =
            rows.mask ? reinterpret_cast<const std::uint8_t*>(rows.mask->data) : nullptr;
        float* out = reinterpret_cast<float*>(rows.out.data);
        return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end; ++i) {
                if (mask && mask[i] == 0) continue;
                if (std::optional<Quality> q =
                        ModelTree::query(tree, {x[i], y[i], z[i], d[i]}, lo, hi)) {
                    float* row = out + 6 * i;
                    row[0] = q->rho;
                    row[1] = q->vp;
                    row[2] = q->vs;
                    row[3] = q->qp;
                    row[4] = q->qs;
                    row[5] = q->alpha;
                }
            }
        });
    }
    return for_each_block(n, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            if (rows.mask && rows.mask->at(i) == 0) continue;
            const QueryPoint p{rows.x.at(i), rows.y.at(i), rows.z.at(i), rows.depth.at(i)};
            if (std::optional<Quality> q = ModelTree::query(tree, p, lo, hi)) {
                write_row(&rows.out.at(i, 0), rows.out.strides[1], *q);
            }
        }
    });
}

namespace {

// A stack of node indices that keeps 16 entries in place before it moves to
// the heap.
class NodeStack {
public:
    bool empty() const { return size_ == 0; }
    void push(std::uint32_t v) {
        if (size_ < inline_.size() && heap_.empty()) {
            inline_[size_++] = v;
            return;
        }
        if (heap_.empty()) heap_.assign(inline_.begin(), inline_.begin() + size_);
        heap_.push_back(v);
        ++size_;
    }
    std::uint32_t pop() {
        --size_;
        if (!heap_.empty()) {
            const std::uint32_t v = heap_.back();
            heap_.pop_back();
            return v;
        }
        return inline_[size_];
    }

private:
    std::array<std::uint32_t, 16> inline_{};
    std::vector<std::uint32_t> heap_;
    std::size_t size_ = 0;
};

std::uint64_t elapsed_ns(std::chrono::steady_clock::time_point start,
                         std::chrono::steady_clock::time_point end) {
    if (end < start) return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}

}  // namespace

QueryStats query_stats(const ModelTree& tree, const QueryPoint& p) {
    constexpr std::uint8_t lo = 0, hi = 255;
    const float flo = lo, fhi = hi;
    QueryStats stats;
    const auto start = std::chrono::steady_clock::now();

    NodeStack stack;
    if (!tree.nodes.empty()) stack.push(0);
    while (!stack.empty()) {
        const TreeNode& node = tree.nodes[stack.pop()];
        if (!node.is_leaf()) {
            stats.aabb_tests += 2;
            const bool left = box_admits(node.left_box, p, flo, fhi);
            const bool right = box_admits(node.right_box, p, flo, fhi);
            if (left && right) {
                // The child pushed last pops first: the smaller min.w, the
                // left one on a tie.
                if (node.right_box.min[3] < node.left_box.min[3]) {
                    stack.push(node.left);
                    stack.push(node.right);
                } else {
                    stack.push(node.right);
                    stack.push(node.left);
                }
            } else if (left) {
                stack.push(node.left);
            } else if (right) {
                stack.push(node.right);
            }
            continue;
        }
        const MeshModel& m = tree.models[node.model];
        const float prio = static_cast<float>(m.priority);
        if (!(flo <= prio && prio <= fhi)) continue;
        stats.simplex_tests += 1;
        const float v = vertical_coordinate(m, p);
        if (within_vertex_z(m, v)) (void)MeshModel::query(m, p.x, p.y, v);
    }

    HitIterator it(tree, p, lo, hi);
    if (std::optional<Hit> first = it.next()) {
        stats.hit_count = 1;
        Quality acc = first->quality;
        while (std::optional<Hit> h = it.next()) {
            stats.hit_count += 1;
            if (is_opaque(acc)) break;
            acc = Quality::blend(acc, h->quality);
        }
        stats.output = acc;
    }

    stats.elapsed_ns = elapsed_ns(start, std::chrono::steady_clock::now());
    return stats;
}

Explanation explain(const ModelTree& tree, const QueryPoint& p) {
    Explanation ex;
    HitIterator it(tree, p, 0, 255);
    std::optional<Hit> first = it.next();
    if (!first) return ex;
    ex.contributions.push_back(*first);
    Quality acc = first->quality;
    std::uint64_t taken = 1;
    while (std::optional<Hit> h = it.next()) {
        if (!ex.termination && is_opaque(acc)) ex.termination = taken;
        ++taken;
        ex.contributions.push_back(*h);
        acc = Quality::blend(acc, h->quality);
    }
    ex.output = acc;
    return ex;
}

}  // namespace orvik
