// Helpers shared by the GoogleTests: strided views over test arrays, random
// boxes, meshes of cubes, and hand-made mesh models for the tree tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "common/strided.hpp"
#include "hierarchy/hierarchy.hpp"
#include "model/mesh_builder.hpp"
#include "model/mesh_model.hpp"

namespace orvik::testing {

// A C-ordered (m, n) view over `a`.
inline StridedView<double, 2> view_of(const std::vector<double>& a, std::ptrdiff_t m,
                                      std::ptrdiff_t n) {
    return StridedView<double, 2>::dense(a.data(), m, n);
}

// `n` boxes with corners uniform in [lo, hi) on each axis and extents
// uniform in [min_size, max_size), drawn from mt19937(seed).
inline std::vector<hierarchy::Box3> random_boxes(std::size_t n, std::uint32_t seed, float lo,
                                                 float hi, float min_size, float max_size) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> pos(lo, hi), size(min_size, max_size);
    std::vector<hierarchy::Box3> boxes(n);
    for (auto& b : boxes) {
        for (int k = 0; k < 3; ++k) {
            b.min[k] = pos(rng);
            b.max[k] = b.min[k] + size(rng);
        }
    }
    return boxes;
}

// An n x n x n block of cubes into `b`, each split into six tetrahedra that
// share the cube's main diagonal (one per order of the three axes): a
// conforming mesh. The (n + 1)^3 vertices go x fastest, then y, then z;
// `place(x, y, z)` gives the one at lattice point (x, y, z), called in that
// order.
template <class Place>
void cube_lattice(MeshBuilderState& b, int n, Place&& place) {
    const int m = n + 1;
    for (int z = 0; z < m; ++z)
        for (int y = 0; y < m; ++y)
            for (int x = 0; x < m; ++x) b.vertices.push_back(place(x, y, z));
    auto id = [&](int x, int y, int z) { return static_cast<std::uint32_t>((z * m + y) * m + x); };
    const int perms[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int z = 0; z < n; ++z)
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x)
                for (const auto& p : perms) {
                    int c[3] = {x, y, z};
                    std::array<std::uint32_t, 4> f{};
                    f[0] = id(c[0], c[1], c[2]);
                    for (int s = 0; s < 3; ++s) {
                        ++c[p[s]];
                        f[s + 1] = id(c[0], c[1], c[2]);
                    }
                    b.faces.push_back(f);
                }
}

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
    m.simplices = {r};
    m.faces = {{0, 1, 2, 3}};
    m.vertex_count = 4;
    m.vertex_aabb = {o[0] - 0.01f,     o[1] - 0.01f,     o[2] - 0.01f,
                     o[0] + s + 0.01f, o[1] + s + 0.01f, o[2] + s + 0.01f};
    m.finisher = Interpolated{{q, q, q, q}};
    m.bounds = {o[0], o[1], o[2], o[0] + s, o[1] + s, o[2] + s};
    m.priority = priority;
    m.vertical = vertical;
    return m;
}

inline Quality quality(float rho, float alpha) {
    return Quality{rho, 2 * rho, rho, 64, 32, alpha};
}

}  // namespace orvik::testing
