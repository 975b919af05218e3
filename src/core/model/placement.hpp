// What grid and columns models share with mesh models: how the tree places
// and ranks them (name, world-to-local transform, vertical mode, priority),
// the mapping of a query point into local coordinates, and the extent that
// the tree sees, derived from the model's own box.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "common/result.hpp"
#include "common/transform.hpp"
#include "model/vertical_mode.hpp"

namespace orvik {

using Transform = std::array<float, 16>;  // world to local, row-major, as a mesh model's

struct ModelPlacement {
    std::string name;
    std::optional<Transform> transform;
    VerticalMode vertical = VerticalMode::Elevation;
    std::uint8_t priority = 0;
};

// The local point of the world point (x, y, v), in float32 exactly as a
// mesh model maps its query points.
struct LocalPoint {
    float x, y, v;
};
inline LocalPoint to_local(const std::optional<Transform>& transform, float x, float y, float v) {
    if (transform) to_local<float>(*transform, x, y, v);  // common/transform.hpp
    return {x, y, v};
}

// The extent of a model in the tree's frame, derived from its local box so
// that the tree never culls a point the model contains.
struct DerivedExtent {
    // The tree's box of the model: x and y of its world box; z the world
    // box's vertical range in elevation mode, and -inf to +inf in depth
    // mode (the tree compares this range with a point's elevation, which
    // says nothing about its depth).
    std::array<float, 6> bounds;
    // The range of the model's own vertical coordinate (elevation or depth)
    // that the tree admits before asking the model.
    std::array<float, 2> v_range;
};

// The fields that grid and columns models share, under the names that a
// mesh model gives them, so that the tree reads every kind alike.
struct PlacedModel {
    std::array<float, 6> bounds{};   // derived: the tree's box (DerivedExtent)
    std::array<float, 2> v_range{};  // derived: the vertical range the tree admits
    std::optional<Transform> transform;
    std::string name;
    std::uint64_t id = 0;
    VerticalMode vertical = VerticalMode::Elevation;
    std::uint8_t priority = 0;

    // Takes the placement over and derives bounds and vertical range from
    // the local box [lo, hi] (derive_extent, whose failures it returns).
    Status place(const std::array<double, 3>& lo, const std::array<double, 3>& hi,
                 ModelPlacement placement);

    ModelPlacement placement() const { return {name, transform, vertical, priority}; }
};

// From the local box [lo, hi] (x, y, v): without a transform the box
// rounded outwards to float32; with one, the box of its eight corners
// mapped back to world coordinates by the transform's inverse, padded by
// 0.01 plus 1e-5 of the coordinates' size against rounding. Fails (Value)
// for a singular transform, or a transform with an infinite local box.
Result<DerivedExtent> derive_extent(const std::array<double, 3>& lo,
                                    const std::array<double, 3>& hi,
                                    const ModelPlacement& placement);

}  // namespace orvik
