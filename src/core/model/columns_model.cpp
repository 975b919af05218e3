#include "model/columns_model.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <span>
#include <utility>

#include "model/node_values.hpp"

namespace orvik {
namespace {

constexpr AxisRules kEdges{.infinite_ends = true};

std::string tile_text(const ColumnsModel& m, std::uint64_t t) {
    const std::uint64_t ny = m.y.size() - 1;
    return "tile (" + std::to_string(t / ny) + ", " + std::to_string(t % ny) + ")";
}

// The nodes of [from, to) that a profile keeps (see ColumnsModel::build),
// appended to `kept`.
void keep_nodes(std::span<const double> v, std::uint64_t from, std::uint64_t to,
                std::vector<std::uint64_t>& kept) {
    for (std::uint64_t r = from; r < to;) {
        std::uint64_t e = r + 1;
        while (e < to && v[e] == v[r]) ++e;
        const bool first = r == from, last = e == to;
        if (first && last) break;  // no thickness at all
        if (first) {
            kept.push_back(e - 1);
        } else if (last) {
            kept.push_back(r);
        } else {
            kept.push_back(r);
            if (e - r > 1) kept.push_back(e - 1);
        }
        r = e;
    }
}

std::optional<std::string> offsets_problem(std::span<const std::uint64_t> offsets,
                                           std::uint64_t tiles, std::uint64_t nodes) {
    if (offsets.size() != tiles + 1) {
        return "offsets must hold (len(x) - 1) * (len(y) - 1) + 1 = " + std::to_string(tiles + 1) +
               " entries; got " + std::to_string(offsets.size());
    }
    if (offsets.front() != 0) return "offsets must start at 0; got " + std::to_string(offsets[0]);
    for (std::size_t t = 1; t < offsets.size(); ++t) {
        if (offsets[t] < offsets[t - 1]) {
            return "offsets must not decrease; entry " + std::to_string(t) + " (" +
                   std::to_string(offsets[t]) + ") is below entry " + std::to_string(t - 1) + " (" +
                   std::to_string(offsets[t - 1]) + ")";
        }
    }
    if (offsets.back() != nodes) {
        return "offsets must end at len(v) = " + std::to_string(nodes) + "; got " +
               std::to_string(offsets.back());
    }
    return std::nullopt;
}

std::optional<std::string> v_problem(const ColumnsModel& m) {
    for (std::size_t i = 0; i < m.v.size(); ++i) {
        if (std::isnan(m.v[i])) return "v must not hold NaN; node " + std::to_string(i) + " is NaN";
        if (std::isinf(m.v[i])) {
            return "v must hold finite numbers; node " + std::to_string(i) + " is infinite";
        }
    }
    for (std::uint64_t t = 0; t + 1 < m.offsets.size(); ++t) {
        for (std::uint64_t i = m.offsets[t] + 1; i < m.offsets[t + 1]; ++i) {
            if (m.v[i] < m.v[i - 1]) {
                return "v must not decrease within a profile; node " + std::to_string(i) +
                       " is below node " + std::to_string(i - 1) + " in " + tile_text(m, t);
            }
        }
    }
    return std::nullopt;
}

// Tile edges, offsets and v in place: the derived fields.
Result<ColumnsModel> finish(ColumnsModel m, ModelPlacement placement) {
    const auto [lo, hi] = ColumnsModel::v_extent(m);
    const Status placed =
        m.place({m.x.first(), m.y.first(), lo}, {m.x.last(), m.y.last(), hi}, std::move(placement));
    if (!placed) return placed.error();
    return m;
}

struct ColumnsPoint {
    std::uint64_t tile;
    std::uint64_t node;  // the layer's first node
    float t;
};

std::optional<ColumnsPoint> locate(const ColumnsModel& m, float x, float y, float v) {
    const LocalPoint p = to_local(m.transform, x, y, v);
    const std::optional<AxisCell> cx = m.x.locate(p.x, CellSide::Upper);
    if (!cx) return std::nullopt;
    const std::optional<AxisCell> cy = m.y.locate(p.y, CellSide::Upper);
    if (!cy) return std::nullopt;
    const std::uint64_t tile = cx->index * (m.y.size() - 1) + cy->index;
    const double* first = m.v.data() + m.offsets[tile];
    const double* last = m.v.data() + m.offsets[tile + 1];
    const double c = p.v;
    if (last - first < 2 || !(*first <= c && c <= last[-1])) return std::nullopt;
    // The layer below a node: deeper (depth) or lower (elevation).
    const double* k = m.vertical == VerticalMode::Depth
                          ? std::min(std::upper_bound(first, last, c) - 1, last - 2)
                          : std::max(std::lower_bound(first, last, c) - 1, first);
    const double t = (c - k[0]) / (k[1] - k[0]);
    return ColumnsPoint{tile, static_cast<std::uint64_t>(k - m.v.data()), static_cast<float>(t)};
}

std::optional<Quality> evaluate(const ColumnsModel& m, const ColumnsPoint& at) {
    const float* a = m.nodes.data() + at.node * kNodeValues;
    const float* b = a + kNodeValues;
    const NodeLanes q = lerp(NodeLanes::load(a), NodeLanes::load(b), LerpStep::at(at.t));
    if (q.has_nan() && (is_hole(a) || is_hole(b))) return std::nullopt;
    return q.quality();
}

}  // namespace

Result<ColumnsModel> ColumnsModel::build(const ColumnsInput& input, ModelPlacement placement) {
    ColumnsModel m;
    Result<Axis> x = Axis::make(to_vector(input.x), "x", kEdges);
    if (!x) return x.error();
    m.x = std::move(x).value();
    Result<Axis> y = Axis::make(to_vector(input.y), "y", kEdges);
    if (!y) return y.error();
    m.y = std::move(y).value();
    std::vector<std::uint64_t> offsets(static_cast<std::size_t>(input.offsets.size()));
    for (std::size_t t = 0; t < offsets.size(); ++t) offsets[t] = input.offsets.at(t);
    const std::uint64_t count = static_cast<std::uint64_t>(input.v.size());
    if (auto p = offsets_problem(offsets, tile_count(m), count)) return Error::value(*p);
    const auto& shape = input.values.shape;
    if (static_cast<std::uint64_t>(shape[0]) != count || shape[1] != kNodeValues) {
        const std::string columns = std::to_string(kNodeValues);
        return Error::value("values must have shape (len(v), " + columns + ") = (" +
                            std::to_string(count) + ", " + columns + "); got (" +
                            std::to_string(shape[0]) + ", " + std::to_string(shape[1]) + ")");
    }
    m.offsets = std::move(offsets);
    m.v = to_vector(input.v);
    if (auto p = v_problem(m)) return Error::value(*p);

    std::vector<std::uint64_t> kept;
    kept.reserve(m.v.size());
    std::vector<std::uint64_t> offsets_kept(m.offsets.size(), 0);
    for (std::uint64_t t = 0; t + 1 < m.offsets.size(); ++t) {
        keep_nodes(m.v.span(), m.offsets[t], m.offsets[t + 1], kept);
        offsets_kept[t + 1] = kept.size();
    }
    std::vector<double> v(kept.size());
    std::vector<float> nodes(kept.size() * kNodeValues);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        v[i] = m.v[kept[i]];
        float row[kNodeValues];
        for (std::size_t c = 0; c < kNodeValues; ++c) row[c] = input.values.at(kept[i], c);
        store_node(row, nodes.data() + i * kNodeValues);
    }
    m.v = std::move(v);
    m.nodes = std::move(nodes);
    m.offsets = std::move(offsets_kept);
    return finish(std::move(m), std::move(placement));
}

Result<ColumnsModel> ColumnsModel::assemble(std::vector<double> x, std::vector<double> y,
                                            SharedArray<std::uint64_t> offsets,
                                            SharedArray<double> v, SharedArray<float> nodes,
                                            ModelPlacement placement) {
    ColumnsModel m;
    Result<Axis> ax = Axis::make(std::move(x), "x", kEdges);
    if (!ax) return ax.error();
    m.x = std::move(ax).value();
    Result<Axis> ay = Axis::make(std::move(y), "y", kEdges);
    if (!ay) return ay.error();
    m.y = std::move(ay).value();
    if (auto p = offsets_problem(offsets.span(), tile_count(m), v.size())) return Error::value(*p);
    if (nodes.size() != v.size() * kNodeValues) {
        return Error::value("the node values do not match the profile nodes");
    }
    m.offsets = std::move(offsets);
    m.v = std::move(v);
    m.nodes = std::move(nodes);
    if (auto p = v_problem(m)) return Error::value(*p);
    std::vector<std::uint64_t> kept;
    for (std::uint64_t t = 0; t + 1 < m.offsets.size(); ++t) {
        kept.clear();
        keep_nodes(m.v.span(), m.offsets[t], m.offsets[t + 1], kept);
        if (kept.size() != m.offsets[t + 1] - m.offsets[t]) {
            return Error::value("the profile of " + tile_text(m, t) +
                                " holds a zero-thickness layer");
        }
    }
    return finish(std::move(m), std::move(placement));
}

std::optional<Quality> ColumnsModel::query(const ColumnsModel& model, float x, float y, float v) {
    const std::optional<ColumnsPoint> at = locate(model, x, y, v);
    if (!at) return std::nullopt;
    return evaluate(model, *at);
}

unsigned ColumnsModel::query_packet(const ColumnsModel& model, const float* x, const float* y,
                                    const float* v, unsigned live, Quality* out) {
    unsigned found = 0;
    for (unsigned a = live; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        if (std::optional<Quality> q = query(model, x[k], y[k], v[k])) {
            out[k] = *q;
            found |= 1u << k;
        }
    }
    return found;
}

void ColumnsModel::query_rows(const ColumnsModel& model, const PointRows& rows,
                              std::ptrdiff_t begin, std::ptrdiff_t end) {
    pipeline_rows<ColumnsPoint>(
        rows, begin, end,
        [&](float x, float y, float v, ColumnsPoint& at) {
            const std::optional<ColumnsPoint> p = locate(model, x, y, v);
            if (!p) return false;
            at = *p;
            __builtin_prefetch(model.nodes.data() + at.node * kNodeValues);
            return true;
        },
        [&](const ColumnsPoint& p) { return evaluate(model, p); });
}

std::optional<std::array<std::uint64_t, 3>> ColumnsModel::layer(const ColumnsModel& model, float x,
                                                                float y, float v) {
    const std::optional<ColumnsPoint> at = locate(model, x, y, v);
    if (!at) return std::nullopt;
    const std::uint64_t ny = model.y.size() - 1;
    return std::array<std::uint64_t, 3>{at->tile / ny, at->tile % ny,
                                        at->node - model.offsets[at->tile]};
}

std::array<double, 2> ColumnsModel::v_extent(const ColumnsModel& model) {
    if (model.v.empty()) return {0.0, 0.0};
    double lo = INFINITY, hi = -INFINITY;
    for (double z : model.v) {
        lo = std::min(lo, z);
        hi = std::max(hi, z);
    }
    return {lo, hi};
}

std::string ColumnsModel::summary(const ColumnsModel& m) {
    return " with " + std::to_string(m.x.size() - 1) + " x " + std::to_string(m.y.size() - 1) +
           " tiles and " + std::to_string(m.v.size()) + " profile nodes";
}

std::uint64_t ColumnsModel::size_estimate(const ColumnsModel& model) {
    return sizeof(ColumnsModel) + model.x.bytes() + model.y.bytes() +
           8 * static_cast<std::uint64_t>(model.offsets.size()) +
           8 * static_cast<std::uint64_t>(model.v.size()) +
           sizeof(float) * static_cast<std::uint64_t>(model.nodes.size()) +
           static_cast<std::uint64_t>(model.name.size());
}

}  // namespace orvik
