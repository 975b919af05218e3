// What a MeshModelBuilder collects before one finisher builds the model.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/transform.hpp"
#include "model/mesh_model.hpp"

namespace orvik {

struct MeshBuilderState {
    std::string name;                                 // empty until set
    std::vector<std::array<float, 3>> vertices;       // local coordinates
    std::vector<std::array<std::uint32_t, 4>> faces;  // A B C D
    std::array<float, 6> bounds{};                    // min xyz, max xyz
    std::optional<std::array<float, 16>> transform;   // world to local, row-major
    VerticalMode vertical = VerticalMode::Elevation;
    std::uint8_t priority = 0;
    bool built = false;  // a build has started; the mesh is gone
};

// The record of simplex (A, B, C, D): origin D and the inverse of the edge
// matrix [A-D, B-D, C-D] by cofactors in float32. False when its determinant
// is exactly zero.
bool make_simplex_record(const std::array<float, 3>& a, const std::array<float, 3>& b,
                         const std::array<float, 3>& c, const std::array<float, 3>& d,
                         SimplexRecord& out);

}  // namespace orvik
