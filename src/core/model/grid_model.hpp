// A grid model: a rectilinear 3-D grid of qualities, interpolated
// trilinearly, placed in the tree like a mesh model (name, transform,
// vertical mode, priority) and composited with mesh models by the same rules.
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

// What a grid model is built from: three axes of node coordinates in local
// coordinates (x, y and v, the vertical coordinate of its vertical mode) and
// the (nx, ny, nv, 6) qualities rho, vp, vs, qp, qs, alpha of the nodes.
struct GridInput {
    StridedView<double, 1> x, y, v;
    StridedView<float, 4> values;
};

struct GridModel : PlacedModel {
    static constexpr const char* kKindName = "grid";  // in messages and views

    Axis x, y, v;              // x and y strictly increasing; v may repeat a value once
    SharedArray<float> nodes;  // kNodeValues per node, x slowest and v fastest

    // Checks the input (Value errors name the argument: "x", "y", "v",
    // "values", "transform") and keeps its own copy of it.
    static Result<GridModel> build(const GridInput& input, ModelPlacement placement);

    // A model from parts already in stored form (a reloaded state): the axes
    // are checked as `build` checks them and the derived fields recomputed.
    // The nodes may be borrowed (from a mapped file).
    static Result<GridModel> assemble(std::vector<double> x, std::vector<double> y,
                                      std::vector<double> v, SharedArray<float> nodes,
                                      ModelPlacement placement);

    // The quality at world point (x, y) with vertical coordinate v, or
    // nothing outside the grid or in a cell with a hole (a node with a NaN
    // value). Trilinear, with t the point's place in its cell along each
    // axis (axis.hpp): the four pairs of nodes along v are interpolated
    // first, then the results along y, then along x, each step the lerp of
    // node_values.hpp (exact at the nodes); qp and qs are the reciprocals of
    // the interpolated 1/Q. A point on a node shared by two cells belongs to
    // the cell of larger index along x and y; along v, to the cell below it:
    // the deeper one in depth mode, the lower one in elevation mode, so on a
    // repeated v (a discontinuity) it takes the values of the layer below
    // the interface. Pure; any thread.
    static std::optional<Quality> query(const GridModel& model, float x, float y, float v);

    // `query` for up to 32 points (lane k, bit k of `live`); returns the
    // lanes answered. Each lane's answer is bit for bit that of `query`.
    static unsigned query_packet(const GridModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out);

    // Rows [begin, end) of `rows`, each answered as `query` answers it and
    // written to its row of `rows.out` when the model answers.
    static void query_rows(const GridModel& model, const PointRows& rows, std::ptrdiff_t begin,
                           std::ptrdiff_t end);

    // The (ix, iy, iv) indices of the cell that holds the point, or nothing.
    static std::optional<std::array<std::uint64_t, 3>> cell(const GridModel& model, float x,
                                                            float y, float v);

    static std::uint64_t node_count(const GridModel& model) {
        return model.x.size() * model.y.size() * model.v.size();
    }

    // Byte-size estimate reported by views.
    static std::uint64_t size_estimate(const GridModel& model);

    // Its size in the tree's printed summary: " with ...".
    static std::string summary(const GridModel& model);
};

}  // namespace orvik
