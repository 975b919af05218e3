// Small real records built by the module's own builds, shared by the state
// fuzzer (as starting points for its edits) and the state GoogleTest.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "coastline/coastline.hpp"
#include "grid/structured_grid.hpp"
#include "model/columns_model.hpp"
#include "model/grid_model.hpp"
#include "model/mesh_builder.hpp"
#include "model/mesh_model.hpp"
#include "model_tree/model_tree.hpp"

namespace orvik::samples {

// A block of nx x ny x nz unit cubes at `origin`, each cube split into six
// tetrahedra around its diagonal, with a translating transform (world =
// local - shift), a name and either finisher. Vertex qualities all differ,
// so that any mix-up of faces, records or finisher rows changes answers.
inline MeshModel block(std::array<float, 3> origin, std::array<int, 3> cubes, std::uint8_t priority,
                       bool depth_profile, std::string name,
                       std::array<float, 3> shift = {0, 0, 0}) {
    const int nx = cubes[0], ny = cubes[1], nz = cubes[2];
    MeshBuilderState b;
    const auto vid = [&](int i, int j, int k) {
        return static_cast<std::uint32_t>((k * (ny + 1) + j) * (nx + 1) + i);
    };
    for (int k = 0; k <= nz; ++k) {
        for (int j = 0; j <= ny; ++j) {
            for (int i = 0; i <= nx; ++i) {
                b.vertices.push_back(
                    {origin[0] + i + shift[0], origin[1] + j + shift[1], origin[2] + k + shift[2]});
            }
        }
    }
    static constexpr int kKuhn[6][4] = {{0, 1, 3, 7}, {0, 1, 5, 7}, {0, 2, 3, 7},
                                        {0, 2, 6, 7}, {0, 4, 5, 7}, {0, 4, 6, 7}};
    for (int k = 0; k < nz; ++k) {
        for (int j = 0; j < ny; ++j) {
            for (int i = 0; i < nx; ++i) {
                for (const auto& tet : kKuhn) {
                    std::array<std::uint32_t, 4> face{};
                    for (int c = 0; c < 4; ++c) {
                        const int corner = tet[c];
                        face[c] =
                            vid(i + (corner & 1), j + ((corner >> 1) & 1), k + ((corner >> 2) & 1));
                    }
                    b.faces.push_back(face);
                }
            }
        }
    }
    b.name = std::move(name);
    b.bounds = {origin[0], origin[1], origin[2], origin[0] + nx, origin[1] + ny, origin[2] + nz};
    if (shift != std::array<float, 3>{0, 0, 0}) {
        std::array<float, 16> t{};
        t[0] = t[5] = t[10] = t[15] = 1.0f;
        t[12] = shift[0];
        t[13] = shift[1];
        t[14] = shift[2];
        b.transform = t;
    }
    b.priority = priority;
    b.vertical = depth_profile ? VerticalMode::Depth : VerticalMode::Elevation;
    const std::size_t nv = b.vertices.size();
    Finisher finisher;
    if (depth_profile) {
        DepthProfile p;
        for (std::size_t v = 0; v < nv; ++v) {
            p.pairs.emplace_back(static_cast<float>(v % 7) * 3.0f,
                                 0.25f + static_cast<float>(v % 4) * 0.25f);
        }
        p.tops = {4.0f, 11.0f};
        p.layers = {Quality{2100, 4100, 2100, 210, 110, 1}, Quality{2200, 4200, 2200, 220, 120, 1},
                    Quality{2300, 4300, 2300, 230, 130, 1}};
        finisher = std::move(p);
    } else {
        Interpolated f;
        for (std::size_t v = 0; v < nv; ++v) {
            const float x = static_cast<float>(v);
            f.qualities.push_back(Quality{2000 + x, 5000 + 2 * x, 3000 + x, 200 + x, 100 + x,
                                          (v % 3 == 0) ? 1.0f : 0.5f});
        }
        finisher = std::move(f);
    }
    return MeshModel::build(b, std::move(finisher)).value();
}

inline MeshModel interpolated_model() {
    return block({0, 0, 0}, {3, 2, 2}, 3, false, "block \"A\"", {5, -3, 2});
}

inline MeshModel profile_model() {
    return block({1, 1, 0}, {2, 2, 1}, 1, true, "layers");
}

// Three overlapping models: the two above and an unnamed one of equal
// priority to the first.
inline ModelTree tree() {
    std::vector<MeshModel> models;
    models.push_back(interpolated_model());
    models.push_back(profile_model());
    models.push_back(block({-1, 0, 0}, {2, 1, 1}, 3, false, ""));
    return ModelTree::build(std::move(models));
}

inline StridedView<double, 1> axis_view(const std::vector<double>& a) {
    return {reinterpret_cast<const char*>(a.data()), {static_cast<std::ptrdiff_t>(a.size())}, {8}};
}

// A 4 x 3 x 5 grid with a discontinuity in v, a hole node, a rotating
// transform and values that all differ.
inline GridModel grid_model() {
    static const std::vector<double> x{0, 1, 2.5, 4}, y{0, 1.5, 3}, v{0, 1, 2, 2, 3.5};
    std::vector<float> q(4 * 3 * 5 * 6);
    for (std::size_t n = 0; n < q.size() / 6; ++n) {
        const float f = static_cast<float>(n);
        const float row[6] = {2.0f + f / 64, 5.0f + f / 32, 3.0f + f / 64,
                              300 + f,       100 + f,       n % 5 == 0 ? 0.5f : 1.0f};
        for (int k = 0; k < 6; ++k) q[6 * n + k] = row[k];
    }
    q[6 * 37 + 2] = NAN;  // a hole
    StridedView<float, 4> values;
    values.data = reinterpret_cast<const char*>(q.data());
    values.shape = {4, 3, 5, 6};
    values.strides = {3 * 5 * 6 * 4, 5 * 6 * 4, 6 * 4, 4};
    Transform t{};
    t[1] = t[15] = 1.0f;  // local x = world y, local y = -world x, local v = v
    t[4] = -1.0f;
    t[10] = 1.0f;
    t[12] = 0.5f;
    return GridModel::build({axis_view(x), axis_view(y), axis_view(v), values},
                            {"grid \"G\"", t, VerticalMode::Elevation, 2})
        .value();
}

// 2 x 3 tiles over infinite outer edges in depth mode, profiles of 0 to 4
// nodes with a discontinuity.
inline ColumnsModel columns_model() {
    static const std::vector<double> x{-INFINITY, 1, INFINITY}, y{0, 1, 2, 3};
    static const std::vector<std::uint64_t> offsets{0, 3, 3, 7, 9, 11, 13};
    static const std::vector<double> v{0, 1, 4, 0, 2, 2, 5, 1, 3, 0, 6, 2, 2.5};
    std::vector<float> q(v.size() * 6);
    for (std::size_t n = 0; n < v.size(); ++n) {
        const float f = static_cast<float>(n);
        const float row[6] = {2.5f + f / 16, 6.0f + f / 8, 3.5f + f / 16, 400 + f, 200 + f, 1.0f};
        for (int k = 0; k < 6; ++k) q[6 * n + k] = row[k];
    }
    StridedView<std::uint64_t, 1> o{reinterpret_cast<const char*>(offsets.data()), {7}, {8}};
    return ColumnsModel::build(
               {axis_view(x), axis_view(y), o, axis_view(v),
                StridedView<float, 2>::dense(q.data(), static_cast<std::ptrdiff_t>(v.size()), 6)},
               {"columns", std::nullopt, VerticalMode::Depth, 4})
        .value();
}

// Models of every kind in one tree.
inline ModelTree mixed_tree() {
    std::vector<Model> models;
    models.emplace_back(interpolated_model());
    models.emplace_back(grid_model());
    models.emplace_back(columns_model());
    models.emplace_back(profile_model());
    return ModelTree::build(std::move(models));
}

// A rotated 4 x 5 lattice whose value is 2 * row + 3 * column.
inline StructuredGrid grid() {
    const std::size_t m = 4, n = 5;
    std::vector<double> x(m * n), y(m * n), v(m * n);
    const double c = std::cos(0.3), s = std::sin(0.3);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            x[i * n + j] = c * static_cast<double>(j) - s * static_cast<double>(i);
            y[i * n + j] = s * static_cast<double>(j) + c * static_cast<double>(i);
            v[i * n + j] = 2.0 * static_cast<double>(i) + 3.0 * static_cast<double>(j);
        }
    }
    const auto view = [&](const std::vector<double>& a) {
        StridedView<double, 2> w;
        w.data = reinterpret_cast<const char*>(a.data());
        w.shape = {static_cast<std::ptrdiff_t>(m), static_cast<std::ptrdiff_t>(n)};
        w.strides = {static_cast<std::ptrdiff_t>(n * sizeof(double)), sizeof(double)};
        return w;
    };
    return StructuredGrid::build(view(x), view(y), view(v)).value();
}

// Two nested square rings: the band between them is inside.
inline Coastline coastline() {
    std::vector<float> s;
    const auto ring = [&](float lo, float hi) {
        const float c[4][2] = {{lo, lo}, {hi, lo}, {hi, hi}, {lo, hi}};
        for (int k = 0; k < 4; ++k) {
            s.insert(s.end(), {c[k][0], c[k][1], c[(k + 1) % 4][0], c[(k + 1) % 4][1]});
        }
    };
    ring(0, 10);
    ring(3, 6);
    StridedView<float, 3> view;
    view.data = reinterpret_cast<const char*>(s.data());
    view.shape = {static_cast<std::ptrdiff_t>(s.size() / 4), 2, 2};
    view.strides = {4 * sizeof(float), 2 * sizeof(float), sizeof(float)};
    return Coastline::build(view).value();
}

}  // namespace orvik::samples
