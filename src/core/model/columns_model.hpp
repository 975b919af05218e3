// A columns model: a horizontal grid of tiles, each with its own profile in
// the vertical coordinate, the form of layered 1-D models (one tile) and of
// crustal models (a tile per cell of a map). A profile is a list of nodes
// (v, quality), linear between consecutive nodes; a value repeated twice is
// a discontinuity. Storage grows with the number of profile nodes only.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"
#include "common/shared_array.hpp"
#include "common/strided.hpp"
#include "model/axis.hpp"
#include "model/placement.hpp"
#include "model/point_rows.hpp"
#include "quality/quality.hpp"

namespace orvik {

// What a columns model is built from, in local coordinates: the tile edges
// along x (nx + 1 values) and y (ny + 1), the profile nodes of tile (i, j)
// at positions offsets[t] to offsets[t + 1] - 1 of `v` and `values`, where
// t = i * ny + j, and per node its vertical coordinate and its quality
// (rho, vp, vs, qp, qs, alpha).
struct ColumnsInput {
    StridedView<double, 1> x, y;
    StridedView<std::uint64_t, 1> offsets;
    StridedView<double, 1> v;
    StridedView<float, 2> values;
};

struct ColumnsModel : PlacedModel {
    static constexpr const char* kKindName = "columns";  // in messages and views

    Axis x, y;                           // tile edges; the first may be -inf, the last +inf
    SharedArray<std::uint64_t> offsets;  // nx * ny + 1: each tile's nodes
    SharedArray<double> v;               // profile nodes, tile after tile
    SharedArray<float> nodes;            // kNodeValues per profile node

    // Checks the input (Value errors name the argument: "x", "y", "offsets",
    // "v", "values", "transform") and keeps its own copy of the profiles
    // with zero-thickness layers dropped: of three or more nodes at one v
    // only the first and the last stay (a discontinuity), the repeated
    // nodes at either end of a profile give way to the one next to the
    // profile's interior, and a profile of no thickness becomes empty.
    static Result<ColumnsModel> build(const ColumnsInput& input, ModelPlacement placement);

    // A model from parts already in stored form (a reloaded state), checked
    // against everything `build` ensures; the derived fields recomputed.
    // The profiles may be borrowed (from a mapped file).
    static Result<ColumnsModel> assemble(std::vector<double> x, std::vector<double> y,
                                         SharedArray<std::uint64_t> offsets, SharedArray<double> v,
                                         SharedArray<float> nodes, ModelPlacement placement);

    // The quality at world point (x, y) with vertical coordinate v, or
    // nothing outside every profile or in a layer with a hole (a node with a
    // NaN value). Inside the tile that holds (x, y) (a point on a shared
    // edge belongs to the tile of larger index), the layer between nodes a
    // and b that holds v gives t = (v - va) / (vb - va) and the values the
    // lerp of node_values.hpp (exact at the nodes); qp and qs the
    // reciprocals of the interpolated 1/Q. On a node, the layer below it:
    // deeper in depth mode, lower in elevation mode. Pure; any thread.
    static std::optional<Quality> query(const ColumnsModel& model, float x, float y, float v);

    // `query` for up to 32 points (lane k, bit k of `live`).
    static unsigned query_packet(const ColumnsModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out);

    // Rows [begin, end) of `rows`, each answered as `query` answers it and
    // written to its row of `rows.out` when the model answers.
    static void query_rows(const ColumnsModel& model, const PointRows& rows, std::ptrdiff_t begin,
                           std::ptrdiff_t end);

    // Where the point falls: the tile (i, j) and the position in the tile's
    // profile of the first node of the layer that holds it, or nothing.
    static std::optional<std::array<std::uint64_t, 3>> layer(const ColumnsModel& model, float x,
                                                             float y, float v);

    // The smallest and largest profile node, [0, 0] without any.
    static std::array<double, 2> v_extent(const ColumnsModel& model);

    static std::uint64_t tile_count(const ColumnsModel& model) {
        return (model.x.size() - 1) * (model.y.size() - 1);
    }

    // Byte-size estimate reported by views.
    static std::uint64_t size_estimate(const ColumnsModel& model);

    // Its size in the tree's printed summary: " with ...".
    static std::string summary(const ColumnsModel& model);
};

}  // namespace orvik
