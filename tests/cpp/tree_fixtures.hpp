// Hand-made mesh models for tree tests: one corner tetrahedron each.
#pragma once

#include <array>
#include <cstdint>

#include "model/mesh_model.hpp"

namespace orvik {

// A model whose one simplex is the corner tetrahedron of the cube of side
// `s` at `o`: edges along the axes, so its inverse edge matrix is diagonal.
// Every vertex carries `q`.
inline MeshModel corner_model(std::array<float, 3> o, float s, Quality q, std::uint8_t priority,
                       VerticalMode vertical = VerticalMode::Elevation) {
    MeshModel m;
    m.root = kLeafBit;  // one leaf of one simplex at position 0
    SimplexRecord r{};
    r.origin[0] = o[0];
    r.origin[1] = o[1];
    r.origin[2] = o[2];
    r.inverse[0] = r.inverse[4] = r.inverse[8] = 1.0f / s;
    m.simplices.push_back(r);
    m.faces.push_back({0, 1, 2, 3});
    m.vertex_count = 4;
    m.vertex_aabb = {o[0] - 0.01f, o[1] - 0.01f, o[2] - 0.01f,
                     o[0] + s + 0.01f, o[1] + s + 0.01f, o[2] + s + 0.01f};
    m.finisher = Interpolated{{q, q, q, q}};
    m.bounds = {o[0], o[1], o[2], o[0] + s, o[1] + s, o[2] + s};
    m.priority = priority;
    m.vertical = vertical;
    return m;
}

inline Quality quality(float rho, float alpha) { return Quality{rho, 2 * rho, rho, 64, 32, alpha}; }

}  // namespace orvik
