#include "model_tree/tree_query.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

#include "common/inline_vector.hpp"

namespace orvik {

unsigned query_packet(const ModelTree& tree, const QueryPoint* points, unsigned live,
                      std::uint8_t lo, std::uint8_t hi, Quality* out) {
    constexpr int kLanes = MeshModel::kPacketLanes;
    std::optional<HitIterator> its[kLanes];
    Composite composites[kLanes];
    Candidate candidates[kLanes];
    for (unsigned a = live; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        its[k].emplace(tree, points[k], lo, hi);
    }
    // Each lane runs the fold of ModelTree::query on its own: while its
    // composite wants more, it takes the next candidate, and a candidate that
    // contains its point is the next hit. Lanes only wait for one another.
    unsigned asking = live;  // lanes that need their next candidate
    unsigned waiting = 0;    // lanes holding a candidate not yet located
    for (;;) {
        for (unsigned a = asking; a != 0; a &= a - 1) {
            const unsigned k = static_cast<unsigned>(std::countr_zero(a));
            if (!composites[k].wants_more()) continue;
            if (std::optional<Candidate> c = its[k]->next_candidate()) {
                candidates[k] = *c;
                waiting |= 1u << k;
            }
        }
        if (waiting == 0) break;
        // Every lane waiting on the same model as the first is located now.
        const unsigned first = static_cast<unsigned>(std::countr_zero(waiting));
        const Model* model = candidates[first].model;
        unsigned group = 0;
        float x[kLanes], y[kLanes], v[kLanes];
        for (unsigned k = 0; k < kLanes; ++k) {
            const bool same = ((waiting >> k) & 1u) != 0 && candidates[k].model == model;
            const unsigned src = same ? k : first;
            x[k] = points[src].x;
            y[k] = points[src].y;
            v[k] = candidates[src].v;
            group |= static_cast<unsigned>(same) << k;
        }
        Quality q[kLanes];
        const unsigned found = query_model_packet(*model, x, y, v, group, q);
        for (unsigned a = found; a != 0; a &= a - 1) {
            const unsigned k = static_cast<unsigned>(std::countr_zero(a));
            composites[k].add(q[k]);
        }
        waiting &= ~group;
        asking = group;
    }
    unsigned result = 0;
    for (unsigned a = live; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        if (composites[k].result()) {
            out[k] = *composites[k].result();
            result |= 1u << k;
        }
    }
    return result;
}

namespace {

inline void write_row(float* row, std::ptrdiff_t col_stride, const Quality& q) {
    const Quality::Columns v = q.columns();
    for (std::ptrdiff_t k = 0; k < std::ssize(v); ++k) {
        *reinterpret_cast<float*>(reinterpret_cast<char*>(row) + k * col_stride) = v[k];
    }
}

constexpr std::ptrdiff_t kPollEvery = 4096;  // rows between two stop polls
constexpr std::size_t kLanes = MeshModel::kPacketLanes;
constexpr std::size_t kAhead = 4 * kLanes;  // sorted rows fetched ahead of their query

// Rows in the order that `order` gives them, a packet at a time.
bool query_ordered(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo, std::uint8_t hi,
                   MortonOrder& order, const Interrupt& stop) {
    const std::ptrdiff_t n = rows.x.size();
    for (std::ptrdiff_t begin = 0; begin < n; begin += order.capacity()) {
        if (stop.requested()) return false;
        const std::ptrdiff_t end = std::min(n, begin + order.capacity());
        const std::span<const std::uint64_t> sorted =
            order.sort(rows.x, rows.y, rows.z, rows.mask, begin, end);
        const std::size_t count = sorted.size();
        for (std::size_t block = 0; block < count; block += kPollEvery) {
            if (block > 0 && stop.requested()) return false;
            const std::size_t block_end = std::min(count, block + kPollEvery);
            for (std::size_t i = block; i < block_end; i += kLanes) {
                // The rows a few packets ahead lie anywhere in the arrays:
                // fetch them while these points are located.
                for (std::size_t j = i + kAhead; j < std::min(count, i + kAhead + kLanes); ++j) {
                    const std::ptrdiff_t ahead =
                        begin + static_cast<std::ptrdiff_t>(sorted[j] & 0xFFFFFFFFu);
                    __builtin_prefetch(&rows.x.at(ahead));
                    __builtin_prefetch(&rows.y.at(ahead));
                    __builtin_prefetch(&rows.z.at(ahead));
                    __builtin_prefetch(&rows.depth.at(ahead));
                    __builtin_prefetch(&rows.out.at(ahead, 0), 1);
                }
                const unsigned lanes =
                    static_cast<unsigned>(std::min<std::size_t>(kLanes, block_end - i));
                std::ptrdiff_t row[kLanes];
                QueryPoint p[kLanes];
                for (unsigned k = 0; k < kLanes; ++k) {
                    row[k] = begin + static_cast<std::ptrdiff_t>(sorted[i + (k < lanes ? k : 0)] &
                                                                 0xFFFFFFFFu);
                    p[k] = {rows.x.at(row[k]), rows.y.at(row[k]), rows.z.at(row[k]),
                            rows.depth.at(row[k])};
                }
                Quality q[kLanes];
                const unsigned found = query_packet(tree, p, (1u << lanes) - 1u, lo, hi, q);
                for (unsigned a = found; a != 0; a &= a - 1) {
                    const unsigned k = static_cast<unsigned>(std::countr_zero(a));
                    write_row(&rows.out.at(row[k], 0), rows.out.strides[1], q[k]);
                }
            }
        }
    }
    return true;
}

}  // namespace

namespace {

// A tree of one model of a kind with a batch loop of its own (query_rows:
// grid and columns models): the composite of a row is the model's answer
// itself, so the rows go straight to that loop, in row order (the model
// fetches ahead). Nothing for a mesh model, whose packets through its
// hierarchy gain from ordered batches.
std::optional<bool> query_alone(const Model& model, const QueryRows& rows, std::uint8_t lo,
                                std::uint8_t hi, const Interrupt& stop) {
    return std::visit(
        [&](const auto& m) -> std::optional<bool> {
            using Kind = std::decay_t<decltype(m)>;
            if constexpr (!requires { &Kind::query_rows; }) {
                return std::nullopt;
            } else {
                const ModelGate g = gate_of(model);
                if (!within_priorities(g, lo, hi)) return !stop.requested();
                const PointRows own{
                    rows.x,    rows.y,   g.vertical == VerticalMode::Depth ? rows.depth : rows.z,
                    rows.mask, rows.out, g.v_range};
                return for_each_block(rows.x.size(), kPollEvery, stop,
                                      [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
                                          Kind::query_rows(m, own, begin, end);
                                      });
            }
        },
        model);
}

}  // namespace

bool query_rows(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo, std::uint8_t hi,
                QueryScratch& scratch, const Interrupt& stop) {
    if (tree.models.size() == 1) {
        if (std::optional<bool> done = query_alone(tree.models.front(), rows, lo, hi, stop))
            return *done;
    }
    if (MortonOrder* order = scratch.order())
        return query_ordered(tree, rows, lo, hi, *order, stop);
    return query_rows_in_order(tree, rows, lo, hi, stop);
}

bool query_rows_in_order(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo,
                         std::uint8_t hi, const Interrupt& stop) {
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
        return for_each_block(n, kPollEvery, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end; ++i) {
                if (mask && mask[i] == 0) continue;
                if (std::optional<Quality> q =
                        ModelTree::query(tree, {x[i], y[i], z[i], d[i]}, lo, hi)) {
                    std::memcpy(out + kQualityColumns * i, &*q, sizeof *q);
                }
            }
        });
    }
    return for_each_block(n, kPollEvery, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
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

// steady_clock never goes back, so `end` is never before `start`.
std::uint64_t elapsed_ns(std::chrono::steady_clock::time_point start,
                         std::chrono::steady_clock::time_point end) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}

}  // namespace

QueryStats query_stats(const ModelTree& tree, const QueryPoint& p) {
    constexpr std::uint8_t lo = 0, hi = 255;
    const float flo = lo, fhi = hi;
    QueryStats stats;
    const auto start = std::chrono::steady_clock::now();

    InlineVector<std::uint32_t, 16> stack;
    if (!tree.nodes.empty()) stack.push_back(0);
    while (!stack.empty()) {
        const TreeNode& node = tree.nodes[stack.pop_back()];
        if (!node.is_leaf()) {
            stats.aabb_tests += 2;
            const bool left = box_admits(node.left_box, p, flo, fhi);
            const bool right = box_admits(node.right_box, p, flo, fhi);
            if (left && right) {
                // The child pushed last pops first: the smaller min.w, the
                // left one on a tie.
                if (node.right_box.min[3] < node.left_box.min[3]) {
                    stack.push_back(node.left);
                    stack.push_back(node.right);
                } else {
                    stack.push_back(node.right);
                    stack.push_back(node.left);
                }
            } else if (left) {
                stack.push_back(node.left);
            } else if (right) {
                stack.push_back(node.right);
            }
            continue;
        }
        const Model& m = tree.models[node.model];
        const ModelGate g = gate_of(m);
        if (!within_priorities(g, flo, fhi)) continue;
        stats.simplex_tests += 1;
        const float v = vertical_coordinate(g, p);
        if (within_vertical_range(g, v)) (void)query_model(m, p.x, p.y, v);
    }

    HitIterator it(tree, p, lo, hi);
    stats.output = fold_hits<PastOpaque::TakeOne>(it, [&](const Hit&, bool) { ++stats.hit_count; });
    stats.elapsed_ns = elapsed_ns(start, std::chrono::steady_clock::now());
    return stats;
}

Explanation explain(const ModelTree& tree, const QueryPoint& p) {
    Explanation ex;
    HitIterator it(tree, p, 0, 255);
    ex.output = fold_hits<PastOpaque::BlendAll>(it, [&](const Hit& h, bool opaque) {
        // The number of hits the plain fold blends is the number taken
        // before the first one that meets an opaque composite.
        if (opaque && !ex.termination) ex.termination = ex.contributions.size();
        ex.contributions.push_back(h);
    });
    return ex;
}

}  // namespace orvik
