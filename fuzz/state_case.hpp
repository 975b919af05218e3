// One input of the state fuzzer, shared with the GoogleTest that replays the
// kept inputs. The first byte chooses the sample (its low three bits: mesh
// models of either finisher, a model tree of mesh models in format version
// 1, a structured grid, a coastline, a grid model, a columns model, a model
// tree of every kind), whether the rest is a whole state (raw) or a list of
// edits applied to the sample's state (edit), and whether the header is
// resealed afterwards (length and checksum made right, so that the edits
// reach the checks behind the checksum).
//
// Bits 5 to 7 of the first byte are free here: inputs with 100 there go to the
// model file's frame instead (model_file_case.hpp).
//
// Whatever the bytes, a reader must either refuse them with a Value error or
// accept them; an accepted state must write back byte for byte in the
// version it was read in (the format has one encoding per object and
// version) and answer queries without fault. Each state is read twice, into
// a copy and borrowing from a lender (as from a mapped file): both readings
// must come to the same end, refused with the same message or accepted.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/state_samples.hpp"
#include "model_tree/tree_query.hpp"
#include "state/envelope.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::fuzz {

enum class CaseOutcome { Refused, Accepted, Broken };

namespace detail {

template <class Record>
std::vector<std::byte> encoded(const Record& record) {
    std::vector<std::byte> out(state::encoded_size(record));
    state::encode(record, out);
    return out;
}

inline std::uint32_t version_of(std::span<const std::byte> s) {
    std::uint32_t version = 0;
    if (s.size() >= state::kHeaderSize) std::memcpy(&version, s.data() + 8, 4);
    return version;
}

// Seals the state and gives it the version of the format it is written in.
inline void reseal(state::StateKind kind, std::vector<std::byte>& s, std::uint32_t version) {
    state::seal(kind, s);
    std::memcpy(s.data() + 8, &version, 4);
}

// The same state in format version 1, for the kinds that version holds:
// a tree's models without their tags, resealed as version 1.
inline std::vector<std::byte> as_version_1(state::StateKind kind, std::vector<std::byte> s) {
    if (kind == state::StateKind::ModelTree) {
        // Walk the records: each tag is dropped; a mesh record's length is
        // read back by decoding its prefix through the reader itself.
        std::uint64_t count = 0;
        std::memcpy(&count, s.data() + state::kHeaderSize, 8);
        std::size_t at = state::kHeaderSize + 16;
        for (std::uint64_t k = 0; k < count; ++k) {
            s.erase(s.begin() + static_cast<std::ptrdiff_t>(at),
                    s.begin() + static_cast<std::ptrdiff_t>(at + 8));
            state::ByteReader r(std::span<const std::byte>(s).subspan(at), at);
            (void)state::take_mesh_model(r, state::Where{state::StateKind::ModelTree, ""});
            at = s.size() - r.remaining();
        }
    }
    reseal(kind, s, 1);
    return s;
}

// Real states to edit, built once.
inline constexpr int kSamples = 8;
inline constexpr state::StateKind kKindOf[kSamples] = {
    state::StateKind::MeshModel,      state::StateKind::MeshModel, state::StateKind::ModelTree,
    state::StateKind::StructuredGrid, state::StateKind::Coastline, state::StateKind::GridModel,
    state::StateKind::ColumnsModel,   state::StateKind::ModelTree};

inline const std::vector<std::byte>& sample_state(int which) {
    static const std::vector<std::byte> states[kSamples] = {
        encoded(samples::interpolated_model()),
        encoded(samples::profile_model()),
        as_version_1(state::StateKind::ModelTree, encoded(samples::tree())),
        encoded(samples::grid()),
        encoded(samples::coastline()),
        encoded(samples::grid_model()),
        encoded(samples::columns_model()),
        encoded(samples::mixed_tree())};
    return states[which];
}

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

// Nodes, midpoints between nodes and points past the ends of the axes.
inline std::vector<float> probes(const std::vector<double>& axis) {
    std::vector<float> out;
    for (std::size_t i = 0; i < axis.size() && i < 4; ++i) {
        out.push_back(static_cast<float>(axis[i]));
        if (i + 1 < axis.size()) out.push_back(static_cast<float>((axis[i] + axis[i + 1]) / 2));
    }
    out.push_back(static_cast<float>(axis.back()) + 1.0f);
    out.push_back(kNaN);
    return out;
}

template <class Kind>
inline void query_placed(const Kind& m, const std::vector<double>& v) {
    (void)Kind::size_estimate(m);
    const std::vector<float> xs = probes(m.x.nodes()), ys = probes(m.y.nodes()), vs = probes(v);
    // One packet per horizontal probe, its lanes up the vertical probes.
    float pv[16];
    for (int k = 0; k < 16; ++k)
        pv[k] = vs[static_cast<std::size_t>(k) % vs.size()] + 0.125f * (k / 8);
    for (float x : xs) {
        for (float y : ys) {
            float px[16], py[16];
            for (int k = 0; k < 16; ++k) px[k] = x, py[k] = y;
            Quality out[16];
            (void)Kind::query_packet(m, px, py, pv, 0xFFFFu, out);
        }
    }
}

inline void query_grid_model(const GridModel& m) {
    query_placed(m, m.v.nodes());
}

inline void query_columns_model(const ColumnsModel& m) {
    query_placed(m, m.v.empty() ? std::vector<double>{0.0} : m.v.to_vector());
}

inline void query_tree(const ModelTree& t) {
    (void)ModelTree::aabb(t);
    (void)ModelTree::size_estimate(t);
    (void)ModelTree::structure_text(t);
    for (const Model& model : t.models) {
        std::visit(Overloaded{[](const MeshModel& m) { query_model(m); },
                              [](const GridModel& m) { query_grid_model(m); },
                              [](const ColumnsModel& m) { query_columns_model(m); }},
                   model);
        const auto& b = bounds_of(model);
        const QueryPoint p{(b[0] + b[3]) * 0.5f, (b[1] + b[4]) * 0.5f, (b[2] + b[5]) * 0.5f, 0.5f};
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

// Decodes `bytes` as `kind`, into a copy and borrowing from a lender; an
// accepted state is queried and written back.
inline CaseOutcome read_back(state::StateKind kind, std::span<const std::byte> bytes) {
    const bool first_version = version_of(bytes) == 1;
    const auto same = [&](std::vector<std::byte> again) {
        if (first_version) again = as_version_1(kind, std::move(again));
        return again.size() == bytes.size() &&
               std::memcmp(again.data(), bytes.data(), bytes.size()) == 0;
    };
    // The lender owns a copy of the bytes that the borrowing record reads.
    const auto lent = std::make_shared<const std::vector<std::byte>>(bytes.begin(), bytes.end());
    const std::span<const std::byte> lent_bytes(*lent);
    const auto settle = [&](auto decode, auto query) {
        auto copied = decode(bytes, nullptr);
        auto borrowed = decode(lent_bytes, lent);
        if (copied.ok() != borrowed.ok()) return CaseOutcome::Broken;
        if (!copied) {
            const bool alike = copied.error().kind == borrowed.error().kind &&
                               copied.error().message == borrowed.error().message;
            return alike && copied.error().kind == ErrorKind::Value ? CaseOutcome::Refused
                                                                    : CaseOutcome::Broken;
        }
        query(copied.value());
        query(borrowed.value());
        return same(encoded(copied.value())) && same(encoded(borrowed.value()))
                   ? CaseOutcome::Accepted
                   : CaseOutcome::Broken;
    };
    // The kinds that are always copied read the lent bytes as any others.
    const auto copy_only = [](auto decode) {
        return [decode](std::span<const std::byte> in, const state::Lender&) { return decode(in); };
    };
    using Span = std::span<const std::byte>;
    switch (kind) {
        case state::StateKind::MeshModel:
            return settle([](Span in, state::Lender l) { return state::decode_mesh_model(in, l); },
                          query_model);
        case state::StateKind::ModelTree:
            return settle([](Span in, state::Lender l) { return state::decode_model_tree(in, l); },
                          query_tree);
        case state::StateKind::StructuredGrid:
            return settle(copy_only([](Span in) { return state::decode_structured_grid(in); }),
                          query_grid);
        case state::StateKind::Coastline:
            return settle(copy_only([](Span in) { return state::decode_coastline(in); }),
                          query_coastline);
        case state::StateKind::GridModel:
            return settle([](Span in, state::Lender l) { return state::decode_grid_model(in, l); },
                          query_grid_model);
        case state::StateKind::ColumnsModel:
            return settle(
                [](Span in, state::Lender l) { return state::decode_columns_model(in, l); },
                query_columns_model);
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
    const int which = mode & 7;
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
    if (reseal && s.size() >= state::kHeaderSize) {
        detail::reseal(kind, s, detail::version_of(s) == 1 ? 1 : state::kFormatVersion);
    }
    return detail::read_back(kind, s);
}

}  // namespace orvik::fuzz
