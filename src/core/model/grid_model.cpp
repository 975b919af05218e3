#include "model/grid_model.hpp"

#include <bit>
#include <initializer_list>
#include <limits>
#include <utility>

#include "common/huge_pages.hpp"
#include "model/node_values.hpp"

namespace orvik {
namespace {

constexpr AxisRules kHorizontal{};
constexpr AxisRules kVertical{.repeats = true};

CellSide vertical_side(VerticalMode mode) {
    // The cell below a node: deeper (larger depth) or lower (smaller elevation).
    return mode == VerticalMode::Depth ? CellSide::Upper : CellSide::Lower;
}

std::string shape_text(std::initializer_list<std::uint64_t> dims) {
    std::string text = "(";
    for (std::uint64_t d : dims) {
        if (text.size() > 1) text += ", ";
        text += std::to_string(d);
    }
    return text += ")";
}

// The located point: the cell's first node and the weights of its upper
// node along each axis.
struct GridPoint {
    std::uint64_t base;
    float tx, ty, tv;
};

// Whether the point lies in the grid; if so its cell and weights go to `at`.
[[gnu::always_inline]] inline bool locate(const GridModel& g, float x, float y, float v,
                                          GridPoint& at) {
    const LocalPoint p = to_local(g.transform, x, y, v);
    const std::optional<AxisCell> cx = g.x.locate(p.x, CellSide::Upper);
    if (!cx) return false;
    const std::optional<AxisCell> cy = g.y.locate(p.y, CellSide::Upper);
    if (!cy) return false;
    const std::optional<AxisCell> cv = g.v.locate(p.v, vertical_side(g.vertical));
    if (!cv) return false;
    at.base = (cx->index * g.y.size() + cy->index) * g.v.size() + cv->index;
    at.tx = cx->weight;
    at.ty = cy->weight;
    at.tv = cv->weight;
    return true;
}

const float* node_at(const GridModel& g, std::uint64_t node) {
    return g.nodes.data() + node * kNodeValues;
}

// Trilinear, with the cell's weights: the cell's four pairs of nodes along v
// (adjacent in memory), then along y, then along x; `Step` makes each axis's
// LerpStep from its weight.
template <class Step>
NodeLanes interpolate(const GridModel& g, const GridPoint& at, Step step) {
    const std::uint64_t sy = g.v.size(), sx = g.y.size() * sy;
    const float* n = node_at(g, at.base);
    const LerpStep tv = step(at.tv), ty = step(at.ty), tx = step(at.tx);
    const auto along_v = [&](std::uint64_t offset) {
        const float* a = n + offset * kNodeValues;
        return lerp(NodeLanes::load(a), NodeLanes::load(a + kNodeValues), tv);
    };
    const NodeLanes x0 = lerp(along_v(0), along_v(sy), ty);
    const NodeLanes x1 = lerp(along_v(sx), along_v(sx + sy), ty);
    return lerp(x0, x1, tx);
}

[[gnu::always_inline]] inline std::optional<Quality> evaluate(const GridModel& g,
                                                              const GridPoint& at) {
    // Points on an upper node of their cell are rare: the common case runs
    // its steps without asking.
    const NodeLanes q = (at.tx != 1.0f && at.ty != 1.0f && at.tv != 1.0f)
                            ? interpolate(g, at, LerpStep::below_upper)
                            : interpolate(g, at, LerpStep::at);
    if (q.has_nan()) [[unlikely]] {
        const std::uint64_t sy = g.v.size(), sx = g.y.size() * sy;
        const float* n = node_at(g, at.base);
        for (std::uint64_t offset : {std::uint64_t{0}, sy, sx, sx + sy}) {
            const float* a = n + offset * kNodeValues;
            if (is_hole(a) || is_hole(a + kNodeValues)) return std::nullopt;
        }
    }
    return q.quality();
}

// Locates the point into `at` and starts fetching the cell's nodes. (The
// fetches sit in a function with an effect of its own: a function that only
// fetches counts as having none, and its calls are dropped.)
bool locate_and_fetch(const GridModel& g, float x, float y, float v, GridPoint& at) {
    if (!locate(g, x, y, v, at)) return false;
    const std::uint64_t sy = g.v.size(), sx = g.y.size() * sy;
    const float* n = node_at(g, at.base);
    // A pair of nodes is 48 bytes: it may straddle two cache lines.
    const std::uint64_t last = 2 * kNodeValues - 1;
    for (std::uint64_t offset : {std::uint64_t{0}, sy, sx, sx + sy}) {
        const float* pair = n + offset * kNodeValues;
        __builtin_prefetch(pair);
        __builtin_prefetch(pair + last);
    }
    return true;
}

// Axes checked, nodes in stored form: the derived fields.
Result<GridModel> finish(Axis x, Axis y, Axis v, SharedArray<float> nodes,
                         ModelPlacement placement) {
    GridModel g;
    const Status placed = g.place({x.first(), y.first(), v.first()}, {x.last(), y.last(), v.last()},
                                  std::move(placement));
    if (!placed) return placed.error();
    g.x = std::move(x);
    g.y = std::move(y);
    g.v = std::move(v);
    g.nodes = std::move(nodes);
    return g;
}

// nx * ny * nv, or nothing when the values of that many nodes overflow memory sizes.
std::optional<std::uint64_t> nodes_of(std::uint64_t nx, std::uint64_t ny, std::uint64_t nv) {
    constexpr std::uint64_t kMost = std::numeric_limits<std::ptrdiff_t>::max() / 4 / kNodeValues;
    if (nx > kMost / ny || nx * ny > kMost / nv) return std::nullopt;
    return nx * ny * nv;
}

}  // namespace

Result<GridModel> GridModel::build(const GridInput& input, ModelPlacement placement) {
    Result<Axis> x = Axis::make(to_vector(input.x), "x", kHorizontal);
    if (!x) return x.error();
    Result<Axis> y = Axis::make(to_vector(input.y), "y", kHorizontal);
    if (!y) return y.error();
    Result<Axis> v = Axis::make(to_vector(input.v), "v", kVertical);
    if (!v) return v.error();
    const std::uint64_t nx = x->size(), ny = y->size(), nv = v->size();
    const auto& shape = input.values.shape;
    if (static_cast<std::uint64_t>(shape[0]) != nx || static_cast<std::uint64_t>(shape[1]) != ny ||
        static_cast<std::uint64_t>(shape[2]) != nv || shape[3] != kNodeValues) {
        return Error::value(
            "values must have shape (len(x), len(y), len(v), " + std::to_string(kNodeValues) +
            ") = " + shape_text({nx, ny, nv, kNodeValues}) + "; got " +
            shape_text({static_cast<std::uint64_t>(shape[0]), static_cast<std::uint64_t>(shape[1]),
                        static_cast<std::uint64_t>(shape[2]),
                        static_cast<std::uint64_t>(shape[3])}));
    }
    const std::optional<std::uint64_t> count = nodes_of(nx, ny, nv);
    if (!count) return Error::value("the grid has too many nodes");
    std::vector<float> nodes;
    nodes.reserve(*count * kNodeValues);
    prefer_huge_pages(nodes.data(), *count * kNodeValues * sizeof(float));
    nodes.resize(*count * kNodeValues);
    float* out = nodes.data();
    const StridedView<float, 4>& q = input.values;
    for (std::ptrdiff_t i = 0; i < shape[0]; ++i) {
        for (std::ptrdiff_t j = 0; j < shape[1]; ++j) {
            for (std::ptrdiff_t k = 0; k < shape[2]; ++k, out += kNodeValues) {
                float row[kNodeValues];
                for (std::size_t c = 0; c < kNodeValues; ++c) row[c] = q.at(i, j, k, c);
                store_node(row, out);
            }
        }
    }
    return finish(std::move(x).value(), std::move(y).value(), std::move(v).value(),
                  std::move(nodes), std::move(placement));
}

Result<GridModel> GridModel::assemble(std::vector<double> x, std::vector<double> y,
                                      std::vector<double> v, SharedArray<float> nodes,
                                      ModelPlacement placement) {
    Result<Axis> ax = Axis::make(std::move(x), "x", kHorizontal);
    if (!ax) return ax.error();
    Result<Axis> ay = Axis::make(std::move(y), "y", kHorizontal);
    if (!ay) return ay.error();
    Result<Axis> av = Axis::make(std::move(v), "v", kVertical);
    if (!av) return av.error();
    const std::optional<std::uint64_t> count = nodes_of(ax->size(), ay->size(), av->size());
    if (!count || nodes.size() != *count * kNodeValues) {
        return Error::value("the node values do not match the axes");
    }
    return finish(std::move(ax).value(), std::move(ay).value(), std::move(av).value(),
                  std::move(nodes), std::move(placement));
}

std::optional<Quality> GridModel::query(const GridModel& model, float x, float y, float v) {
    GridPoint at;
    if (!locate(model, x, y, v, at)) return std::nullopt;
    return evaluate(model, at);
}

unsigned GridModel::query_packet(const GridModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out) {
    // Every lane is located and its cell fetched before any is evaluated, so
    // that the lanes' cache misses overlap.
    GridPoint at[32];
    unsigned located = 0;
    for (unsigned a = live; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        if (locate_and_fetch(model, x[k], y[k], v[k], at[k])) located |= 1u << k;
    }
    unsigned found = 0;
    for (unsigned a = located; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        if (std::optional<Quality> q = evaluate(model, at[k])) {
            out[k] = *q;
            found |= 1u << k;
        }
    }
    return found;
}

void GridModel::query_rows(const GridModel& model, const PointRows& rows, std::ptrdiff_t begin,
                           std::ptrdiff_t end) {
    pipeline_rows<GridPoint>(
        rows, begin, end,
        [&](float x, float y, float v, GridPoint& at) {
            return locate_and_fetch(model, x, y, v, at);
        },
        [&](const GridPoint& p) { return evaluate(model, p); });
}

std::optional<std::array<std::uint64_t, 3>> GridModel::cell(const GridModel& model, float x,
                                                            float y, float v) {
    GridPoint at;
    if (!locate(model, x, y, v, at)) return std::nullopt;
    const std::uint64_t nv = model.v.size(), ny = model.y.size();
    return std::array<std::uint64_t, 3>{at.base / nv / ny, at.base / nv % ny, at.base % nv};
}

std::string GridModel::summary(const GridModel& m) {
    return " with " + std::to_string(m.x.size()) + " x " + std::to_string(m.y.size()) + " x " +
           std::to_string(m.v.size()) + " nodes";
}

std::uint64_t GridModel::size_estimate(const GridModel& model) {
    return sizeof(GridModel) + model.x.bytes() + model.y.bytes() + model.v.bytes() +
           sizeof(float) * static_cast<std::uint64_t>(model.nodes.size()) +
           static_cast<std::uint64_t>(model.name.size());
}

}  // namespace orvik
