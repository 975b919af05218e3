#include "coastline/coastline.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <span>
#include <string>

#include "hierarchy/collapse.hpp"
#include "hierarchy/hierarchy.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvik {
namespace {

constexpr std::uint32_t kLeafFlag = 0x80000000u;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Box of a segment; a NaN coordinate loses against the other endpoint's.
hierarchy::Box3 segment_box(const Segment& s) {
    return hierarchy::Box3{{std::fmin(s.ax, s.bx), std::fmin(s.ay, s.by), 0.0f},
                           {std::fmax(s.ax, s.bx), std::fmax(s.ay, s.by), 0.0f}};
}

// The rounded closest point of a segment can stray a few ulps outside the
// segment's box; this margin keeps it inside, so the box bound never
// undercuts a distance that the formula actually produces.
struct Padded {
    float min_x, min_y, max_x, max_y;
};

Padded pad(const hierarchy::Box3& b) {
    const float extent = std::max(
        {std::fabs(b.min[0]), std::fabs(b.min[1]), std::fabs(b.max[0]), std::fabs(b.max[1])});
    const float m = extent * 0x1p-18f + 1e-30f;
    return {b.min[0] - m, b.min[1] - m, b.max[0] + m, b.max[1] + m};
}

// Index nodes with padded boxes and leaves of four segment slots for
// hierarchy::collapse.
struct IndexOut {
    const std::vector<Segment>& segments;
    CoastlineIndex& index;

    Result<std::uint32_t> leaf(std::span<const std::uint32_t> shapes) {
        const auto ref = kLeafFlag | static_cast<std::uint32_t>(index.leaves.size());
        CoastlineLeaf leaf{};
        const std::size_t n = shapes.size();
        for (std::size_t k = 0; k < 4; ++k) {
            // Repeating a segment changes no minimum.
            const Segment& s = segments[shapes[k < n ? k : n - 1]];
            leaf.ax[k] = s.ax;
            leaf.ay[k] = s.ay;
            leaf.bx[k] = s.bx;
            leaf.by[k] = s.by;
        }
        index.leaves.push_back(leaf);
        return ref;
    }
    Result<std::uint32_t> interior(const hierarchy::BinaryNode& b, std::uint32_t depth) {
        const auto ref = static_cast<std::uint32_t>(index.nodes.size());
        CoastlineNode node{};
        const Padded p0 = pad(b.left_box);
        const Padded p1 = pad(b.right_box);
        node.min_x[0] = p0.min_x;
        node.min_y[0] = p0.min_y;
        node.max_x[0] = p0.max_x;
        node.max_y[0] = p0.max_y;
        node.min_x[1] = p1.min_x;
        node.min_y[1] = p1.min_y;
        node.max_x[1] = p1.max_x;
        node.max_y[1] = p1.max_y;
        index.nodes.push_back(node);
        index.depth = std::max(index.depth, depth);
        return ref;
    }
    void link(std::uint32_t parent, int side, std::uint32_t child) {
        index.nodes[parent].child[side] = child;
    }
};

// A segment can flip the inside flag only when its y range is a proper
// interval and its crossing abscissa can be a number.
bool can_cross(const Segment& s) {
    if (std::isnan(s.ax) || std::isnan(s.bx) || std::isnan(s.ay) || std::isnan(s.by)) return false;
    return s.ay != s.by;
}

CrossingEntry crossing_entry(const Segment& s) {
    return {s.ax,
            s.ay,
            s.bx,
            s.by,
            std::min(s.ax, s.bx),
            std::max(s.ax, s.bx),
            std::min(s.ay, s.by),
            std::max(s.ay, s.by)};
}

std::size_t bucket_of(double y, double origin, double scale, std::size_t buckets) {
    const double f = std::floor((y - origin) * scale);
    if (!(f > 0.0)) return 0;
    if (f >= static_cast<double>(buckets - 1)) return buckets - 1;
    return static_cast<std::size_t>(f);
}

void build_crossings(const std::vector<Segment>& segments, CoastlineIndex& index) {
    std::vector<CrossingEntry> finite;
    for (const Segment& s : segments) {
        if (!can_cross(s)) continue;
        const CrossingEntry e = crossing_entry(s);
        if (std::isfinite(e.min_y) && std::isfinite(e.max_y))
            finite.push_back(e);
        else
            index.unbucketed.push_back(e);
    }
    if (finite.empty()) return;

    double lo = finite[0].min_y, hi = finite[0].max_y;
    for (const auto& e : finite) {
        lo = std::min(lo, static_cast<double>(e.min_y));
        hi = std::max(hi, static_cast<double>(e.max_y));
    }
    // Fine buckets keep scans short; long segments that would sit in too many
    // of them make the buckets coarser.
    std::size_t buckets = std::max<std::size_t>(1, finite.size() / 2);
    double scale = 0.0;
    for (;;) {
        scale = static_cast<double>(buckets) / (hi - lo);
        std::size_t total = 0;
        for (const auto& e : finite) {
            total +=
                bucket_of(e.max_y, lo, scale, buckets) - bucket_of(e.min_y, lo, scale, buckets) + 1;
        }
        if (buckets == 1 || total <= 4 * finite.size() + buckets) break;
        buckets /= 2;
    }
    index.bucket_origin = lo;
    index.bucket_scale = scale;
    index.bucket_top = hi;
    index.bucket_start.assign(buckets + 1, 0);
    for (const auto& e : finite) {
        const std::size_t b0 = bucket_of(e.min_y, lo, scale, buckets);
        const std::size_t b1 = bucket_of(e.max_y, lo, scale, buckets);
        for (std::size_t b = b0; b <= b1; ++b) ++index.bucket_start[b + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b) index.bucket_start[b + 1] += index.bucket_start[b];
    index.crossing.resize(index.bucket_start[buckets]);
    std::vector<std::size_t> fill(index.bucket_start.begin(), index.bucket_start.end() - 1);
    for (const auto& e : finite) {
        const std::size_t b0 = bucket_of(e.min_y, lo, scale, buckets);
        const std::size_t b1 = bucket_of(e.max_y, lo, scale, buckets);
        for (std::size_t b = b0; b <= b1; ++b) index.crossing[fill[b]++] = e;
    }
    for (std::size_t b = 0; b < buckets; ++b) {
        std::stable_sort(
            index.crossing.begin() + index.bucket_start[b],
            index.crossing.begin() + index.bucket_start[b + 1],
            [](const CrossingEntry& u, const CrossingEntry& v) { return u.max_x > v.max_x; });
    }
}

// Squared distances from one point to the four segments of a leaf; folds
// them into `best` (NaN distances never win) and reports whether any was a
// number.
#if defined(__SSE2__)
inline bool leaf_distances(const CoastlineLeaf& leaf, float px, float py, float& best) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 ax = _mm_loadu_ps(leaf.ax);
    const __m128 ay = _mm_loadu_ps(leaf.ay);
    const __m128 bx = _mm_loadu_ps(leaf.bx);
    const __m128 by = _mm_loadu_ps(leaf.by);
    const __m128 vx = _mm_set1_ps(px);
    const __m128 vy = _mm_set1_ps(py);
    const __m128 dx = _mm_sub_ps(bx, ax);
    const __m128 dy = _mm_sub_ps(by, ay);
    const __m128 len2 = _mm_add_ps(_mm_mul_ps(dy, dy), _mm_mul_ps(dx, dx));
    __m128 t = _mm_div_ps(
        _mm_add_ps(_mm_mul_ps(_mm_sub_ps(vy, ay), dy), _mm_mul_ps(_mm_sub_ps(vx, ax), dx)), len2);
    // max(0, t) then min(1, .) keep a NaN t, as a clamp does.
    t = _mm_min_ps(one, _mm_max_ps(zero, t));
    const __m128 proper = _mm_cmpgt_ps(len2, zero);
    const __m128 qx =
        _mm_or_ps(_mm_and_ps(proper, _mm_add_ps(ax, _mm_mul_ps(dx, t))), _mm_andnot_ps(proper, ax));
    const __m128 qy =
        _mm_or_ps(_mm_and_ps(proper, _mm_add_ps(ay, _mm_mul_ps(t, dy))), _mm_andnot_ps(proper, ay));
    const __m128 ey = _mm_sub_ps(vy, qy);
    const __m128 ex = _mm_sub_ps(vx, qx);
    const __m128 d2 = _mm_add_ps(_mm_mul_ps(ey, ey), _mm_mul_ps(ex, ex));
    // min(d2, best) keeps best where d2 is NaN.
    __m128 m = _mm_min_ps(d2, _mm_set1_ps(best));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
    best = _mm_cvtss_f32(m);
    return _mm_movemask_ps(_mm_cmpeq_ps(d2, d2)) != 0;
}
#else
inline bool leaf_distances(const CoastlineLeaf& leaf, float px, float py, float& best) {
    bool number = false;
    for (int k = 0; k < 4; ++k) {
        const float d2 =
            Coastline::squared_distance({leaf.ax[k], leaf.ay[k], leaf.bx[k], leaf.by[k]}, px, py);
        if (d2 == d2) {
            number = true;
            if (d2 < best) best = d2;
        }
    }
    return number;
}
#endif

// Lower bound of the squared distance to any closest point inside a box,
// rounded the same way as the segment formula; NaN for a NaN box.
inline float box_bound(float min_x, float min_y, float max_x, float max_y, float px, float py) {
    float gx = std::max(min_x - px, px - max_x);
    float gy = std::max(min_y - py, py - max_y);
    gx = gx < 0.0f ? 0.0f : gx;
    gy = gy < 0.0f ? 0.0f : gy;
    return gy * gy + gx * gx;
}

struct StackEntry {
    std::uint32_t ref;
    float bound;
};

// Least squared distance from (px, py) to any segment; NaN when no segment
// gives a number. `stack` holds at least depth + 1 entries.
float nearest_squared(const CoastlineIndex& index, float px, float py, StackEntry* stack) {
    float best = kInf;
    bool number = false;
    std::size_t sp = 0;
    std::uint32_t ref = index.root;
    for (;;) {
        if (ref & kLeafFlag) {
            number |= leaf_distances(index.leaves[ref & ~kLeafFlag], px, py, best);
        } else {
            const CoastlineNode& n = index.nodes[ref];
            const float l0 = box_bound(n.min_x[0], n.min_y[0], n.max_x[0], n.max_y[0], px, py);
            const float l1 = box_bound(n.min_x[1], n.min_y[1], n.max_x[1], n.max_y[1], px, py);
            const bool v0 = !(l0 > best);
            const bool v1 = !(l1 > best);
            if (v0 && v1) {
                if (l1 < l0) {
                    stack[sp++] = {n.child[0], l0};
                    ref = n.child[1];
                } else {
                    stack[sp++] = {n.child[1], l1};
                    ref = n.child[0];
                }
                continue;
            }
            if (v0) {
                ref = n.child[0];
                continue;
            }
            if (v1) {
                ref = n.child[1];
                continue;
            }
        }
        bool next = false;
        while (sp > 0) {
            const StackEntry& e = stack[--sp];
            if (!(e.bound > best)) {
                ref = e.ref;
                next = true;
                break;
            }
        }
        if (!next) break;
    }
    return number ? best : kNaN;
}

inline bool flips(const CrossingEntry& e, float px, float py, float rx0, float rx1) {
    if (!(e.min_x <= rx1 && e.max_x >= rx0)) return false;
    if (!(std::min(e.ay, e.by) <= py && py < std::max(e.ay, e.by))) return false;
    const float xc = ((e.bx - e.ax) * (py - e.ay)) / (e.by - e.ay) + e.ax;
    return xc > px;
}

bool inside(const CoastlineIndex& index, float far_x, float px, float py) {
    const float rx0 = std::min(px, far_x);
    const float rx1 = std::max(px, far_x);
    bool in = false;
    for (const auto& e : index.unbucketed) in ^= flips(e, px, py, rx0, rx1);
    if (index.bucket_start.empty()) return in;
    const double y = py;
    const std::size_t buckets = index.bucket_start.size() - 1;
    if (!(y >= index.bucket_origin && y < index.bucket_top)) return in;
    const std::size_t b = bucket_of(y, index.bucket_origin, index.bucket_scale, buckets);
    const CrossingEntry* it = index.crossing.data() + index.bucket_start[b];
    const CrossingEntry* end = index.crossing.data() + index.bucket_start[b + 1];
    // Sorted by decreasing max x: once a box ends left of the ray, all do.
    for (; it != end && it->max_x >= rx0; ++it) in ^= flips(*it, px, py, rx0, rx1);
    return in;
}

float signed_distance_with(const Coastline& c, float px, float py, StackEntry* stack) {
    if (c.segments.empty()) return kInf;
    if (std::isnan(px) || std::isnan(py)) return kNaN;
    const float d = std::sqrt(nearest_squared(c.index, px, py, stack));
    return inside(c.index, c.far_x, px, py) ? -d : d;
}

}  // namespace

float Coastline::squared_distance(const Segment& s, float px, float py) {
    const float dx = s.bx - s.ax;
    const float dy = s.by - s.ay;
    const float len2 = dy * dy + dx * dx;
    float qx = s.ax;
    float qy = s.ay;
    if (len2 > 0.0f) {
        float t = ((py - s.ay) * dy + (px - s.ax) * dx) / len2;
        if (t < 0.0f) t = 0.0f;
        if (t > 1.0f) t = 1.0f;
        qx = s.ax + dx * t;
        qy = s.ay + t * dy;
    }
    const float ey = py - qy;
    const float ex = px - qx;
    return ey * ey + ex * ex;
}

Result<Coastline> Coastline::build(const StridedView<float, 3>& view) {
    if (view.size(1) != 2 || view.size(2) != 2) {
        return Error::value("segments must have shape (S, 2, 2), got (" +
                            std::to_string(view.size(0)) + ", " + std::to_string(view.size(1)) +
                            ", " + std::to_string(view.size(2)) + ")");
    }
    Coastline c;
    const std::ptrdiff_t count = view.size(0);
    c.segments.reserve(static_cast<std::size_t>(count));
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        c.segments.push_back(
            {view.at(k, 0, 0), view.at(k, 0, 1), view.at(k, 1, 0), view.at(k, 1, 1)});
    }
    float far = -kInf;
    for (const Segment& s : c.segments) {
        if (!std::isnan(s.ax) && s.ax > far) far = s.ax;
        if (!std::isnan(s.bx) && s.bx > far) far = s.bx;
    }
    c.far_x = far + 10.0f;
    if (c.segments.empty()) return c;
    // Node and leaf numbers are 31-bit; the hierarchy takes no more shapes.
    if (c.segments.size() > 0x7FFFFFFFu)
        return Error::internal("too many segments for the segment index");

    std::vector<hierarchy::Box3> boxes;
    boxes.reserve(c.segments.size());
    for (const Segment& s : c.segments) boxes.push_back(segment_box(s));
    const hierarchy::BinaryTree tree = hierarchy::build(boxes);
    if (tree.nodes.size() != 2 * boxes.size() - 1)
        return Error::internal("segment index has the wrong size");
    c.index.nodes.reserve(c.segments.size() / 2);
    c.index.leaves.reserve(c.segments.size());
    IndexOut sink{c.segments, c.index};
    Result<std::uint32_t> root = hierarchy::collapse(tree, 4, sink);
    if (!root) return root.error();
    c.index.root = root.value();
    build_crossings(c.segments, c.index);
    return c;
}

float Coastline::signed_distance(const Coastline& c, float x, float y) {
    std::vector<StackEntry> stack(c.index.depth + 1);
    return signed_distance_with(c, x, y, stack.data());
}

bool Coastline::signed_distance_many(const Coastline& c, const StridedView<float, 1>& x,
                                     const StridedView<float, 1>& y, float* out,
                                     const Interrupt& stop) {
    constexpr std::ptrdiff_t kBlock = 4096;  // points between two stop polls
    // One traversal stack for the whole loop, as deep as the index.
    std::vector<StackEntry> stack(c.index.depth + 1);
    return for_each_block(x.size(), kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t k = begin; k < end; ++k) {
            out[k] = signed_distance_with(c, x.at(k), y.at(k), stack.data());
        }
    });
}

}  // namespace orvik
