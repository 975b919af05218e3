// One input of the state fuzzer, shared with the GoogleTest that replays the
// kept inputs. The first byte chooses the kind of state, whether the rest is
// a whole state (raw) or a list of edits applied to a real state of that kind
// (edit), and whether the header is resealed afterwards (length and checksum
// made right, so that the edits reach the checks behind the checksum).
//
// Bits 5 to 7 of the first byte are free here: inputs with 100 there go to the
// model file's frame instead (model_file_case.hpp).
//
// Whatever the bytes, a reader must either refuse them with a Value error or
// accept them; an accepted state must write back byte for byte (the format
// has one encoding per object) and answer queries without fault.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "fuzz/state_samples.hpp"
#include "state/envelope.hpp"
#include "state/state.hpp"
#include "tree_query/tree_query.hpp"

namespace orvik::fuzz {

enum class CaseOutcome { Refused, Accepted, Broken };

namespace detail {

template <class Record>
std::vector<std::byte> encoded(const Record& record) {
    std::vector<std::byte> out(state::encoded_size(record));
    state::encode(record, out);
    return out;
}

// Real states to edit, built once.
inline const std::vector<std::byte>& sample_state(int which) {
    static const std::vector<std::byte> states[5] = {
        encoded(samples::interpolated_model()), encoded(samples::profile_model()),
        encoded(samples::tree()), encoded(samples::grid()), encoded(samples::coastline())};
    return states[which];
}

inline constexpr state::StateKind kKindOf[5] = {
    state::StateKind::MeshModel, state::StateKind::MeshModel, state::StateKind::ModelTree,
    state::StateKind::StructuredGrid, state::StateKind::Coastline};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

inline void query_model(const MeshModel& m) {
    (void)MeshModel::tree_depth(m);
    (void)MeshModel::size_estimate(m);
    // Corners of the stored boxes, simplex origins and a NaN.
    for (std::size_t i = 0; i < m.simplices.size() && i < 8; ++i) {
        const float* o = m.simplices[i].origin;
        (void)MeshModel::query(m, o[0], o[1], o[2]);
        (void)MeshModel::query(m, o[0] + 0.25f, o[1] + 0.25f, o[2] + 0.1f);
    }
    (void)MeshModel::query(m, m.bounds[0], m.bounds[1], m.bounds[2]);
    (void)MeshModel::query(m, kNaN, 0.0f, 0.0f);
}

inline void query_tree(const ModelTree& t) {
    (void)ModelTree::aabb(t);
    (void)ModelTree::size_estimate(t);
    (void)ModelTree::structure_text(t);
    for (const MeshModel& m : t.models) {
        query_model(m);
        const QueryPoint p{(m.bounds[0] + m.bounds[3]) * 0.5f, (m.bounds[1] + m.bounds[4]) * 0.5f,
                           (m.bounds[2] + m.bounds[5]) * 0.5f, 0.5f};
        (void)ModelTree::query(t, p, 0, 255);
        (void)query_stats(t, p);
        (void)explain(t, p);
    }
    (void)ModelTree::query(t, QueryPoint{kNaN, kNaN, kNaN, kNaN}, 0, 255);
}

inline void query_grid(const StructuredGrid& g) {
    const double points[][2] = {{0, 0}, {1.5, 1.5}, {-100, 3}, {1e300, -1e300}, {NAN, 0}};
    for (const auto& p : points) {
        (void)StructuredGrid::query(g, p[0], p[1], true);
        (void)StructuredGrid::query(g, p[0], p[1], false);
    }
    (void)StructuredGrid::query(g, g.nodes[0].x, g.nodes[0].y, true);
}

inline void query_coastline(const Coastline& c) {
    const float points[][2] = {{0, 0}, {4, 4}, {20, 1}, {-1e30f, 5}, {kNaN, 1}};
    for (const auto& p : points) (void)Coastline::signed_distance(c, p[0], p[1]);
}

// Decodes `bytes` as `kind`; an accepted state is queried and written back.
inline CaseOutcome read_back(state::StateKind kind, std::span<const std::byte> bytes) {
    const auto same = [&](const std::vector<std::byte>& again) {
        return again.size() == bytes.size() &&
               std::memcmp(again.data(), bytes.data(), bytes.size()) == 0;
    };
    const auto settle = [&](auto& result, auto query) {
        if (!result)
            return result.error().kind == ErrorKind::Value ? CaseOutcome::Refused
                                                           : CaseOutcome::Broken;
        query(result.value());
        return same(encoded(result.value())) ? CaseOutcome::Accepted : CaseOutcome::Broken;
    };
    switch (kind) {
        case state::StateKind::MeshModel: {
            auto r = state::decode_mesh_model(bytes);
            return settle(r, query_model);
        }
        case state::StateKind::ModelTree: {
            auto r = state::decode_model_tree(bytes);
            return settle(r, query_tree);
        }
        case state::StateKind::StructuredGrid: {
            auto r = state::decode_structured_grid(bytes);
            return settle(r, query_grid);
        }
        case state::StateKind::Coastline: {
            auto r = state::decode_coastline(bytes);
            return settle(r, query_coastline);
        }
    }
    return CaseOutcome::Broken;
}

// Four-byte edits: offset (16 bits), operation, value.
inline void apply_edits(std::vector<std::byte>& s, const std::uint8_t* p, std::size_t n) {
    for (std::size_t k = 0; k + 4 <= n && !s.empty(); k += 4) {
        const std::size_t at = (p[k] | (std::size_t{p[k + 1]} << 8)) % s.size();
        const std::uint8_t value = p[k + 3];
        const auto put = [&](std::uint64_t v, std::size_t width) {
            for (std::size_t b = 0; b < width && at + b < s.size(); ++b) {
                s[at + b] = static_cast<std::byte>(v >> (8 * b));
            }
        };
        switch (p[k + 2] % 6) {
            case 0:
                put(value, 1);
                break;
            case 1:
                put(value, 4);
                break;
            case 2:
                put(value, 8);
                break;
            case 3:
                put((std::uint64_t{1} << 62) + value, 8);
                break;
            case 4:
                put(0xFFFFFFFFu - value, 4);
                break;
            case 5:
                s.resize(at);
                break;
        }
    }
}

}  // namespace detail

inline CaseOutcome run_state_case(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return CaseOutcome::Refused;
    const std::uint8_t mode = data[0];
    const int which = (mode & 7) % 5;
    const state::StateKind kind = detail::kKindOf[which];
    const bool edit = (mode & 8) != 0;
    const bool reseal = (mode & 16) != 0;
    std::vector<std::byte> s;
    if (edit) {
        s = detail::sample_state(which);
        detail::apply_edits(s, data + 1, size - 1);
    } else {
        s.resize(size - 1);
        if (size > 1) std::memcpy(s.data(), data + 1, size - 1);
    }
    if (reseal && s.size() >= state::kHeaderSize) state::seal(kind, s);
    return detail::read_back(kind, s);
}

}  // namespace orvik::fuzz
