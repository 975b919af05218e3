// The kinds of model that a tree holds: a closed set, visited with
// std::visit, so that a new kind is a compile error wherever it is not yet
// handled. Every kind has the fields the tree reads under the same names
// (name, bounds, id, vertical, priority) and the operations query,
// query_packet and size_estimate.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "model/columns_model.hpp"
#include "model/grid_model.hpp"
#include "model/mesh_model.hpp"

namespace orvik {

using Model = std::variant<MeshModel, GridModel, ColumnsModel>;

// Overloaded lambdas, for visits whose handling differs by kind.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The range of a model's own vertical coordinate in which the tree asks it
// for a point: a mesh model's vertex box, the derived range of the others.
inline std::array<float, 2> vertical_range(const MeshModel& m) {
    return {m.vertex_aabb[2], m.vertex_aabb[5]};
}
inline std::array<float, 2> vertical_range(const GridModel& m) {
    return m.v_range;
}
inline std::array<float, 2> vertical_range(const ColumnsModel& m) {
    return m.v_range;
}

// What the hit enumeration reads of a model at a leaf, in one visit.
struct ModelGate {
    float priority;
    VerticalMode vertical;
    std::array<float, 2> v_range;
};

inline ModelGate gate_of(const Model& model) {
    return std::visit(
        [](const auto& m) {
            return ModelGate{static_cast<float>(m.priority), m.vertical, vertical_range(m)};
        },
        model);
}

inline std::uint8_t priority_of(const Model& model) {
    return std::visit([](const auto& m) { return m.priority; }, model);
}
inline VerticalMode vertical_of(const Model& model) {
    return std::visit([](const auto& m) { return m.vertical; }, model);
}
inline const std::array<float, 6>& bounds_of(const Model& model) {
    return std::visit([](const auto& m) -> const std::array<float, 6>& { return m.bounds; }, model);
}
inline const std::string& name_of(const Model& model) {
    return std::visit([](const auto& m) -> const std::string& { return m.name; }, model);
}
inline std::uint64_t id_of(const Model& model) {
    return std::visit([](const auto& m) { return m.id; }, model);
}
inline void set_id(Model& model, std::uint64_t id) {
    std::visit([id](auto& m) { m.id = id; }, model);
}

// The kind's point query (MeshModel::query, GridModel::query, ...).
inline std::optional<Quality> query_model(const Model& model, float x, float y, float v) {
    return std::visit([&](const auto& m) { return std::decay_t<decltype(m)>::query(m, x, y, v); },
                      model);
}

// The kind's packet query: lanes of `live`, bit for bit query_model's answers.
inline unsigned query_model_packet(const Model& model, const float* x, const float* y,
                                   const float* v, unsigned live, Quality* out) {
    return std::visit(
        [&](const auto& m) {
            return std::decay_t<decltype(m)>::query_packet(m, x, y, v, live, out);
        },
        model);
}

inline std::uint64_t size_estimate(const Model& model) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::size_estimate(m); },
                      model);
}

}  // namespace orvik
