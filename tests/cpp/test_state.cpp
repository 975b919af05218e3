#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/model_file_case.hpp"
#include "fuzz/state_case.hpp"
#include "fuzz/state_samples.hpp"
#include "model_tree/tree_query.hpp"
#include "state/checksum.hpp"
#include "state/envelope.hpp"
#include "state/state.hpp"

namespace orvik {
namespace {

using Bytes = std::vector<std::byte>;
using fuzz::detail::encoded;
using state::StateKind;

template <class T>
bool same_bytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(static_cast<const void*>(a.data()),
                                                             static_cast<const void*>(b.data()),
                                                             a.size() * sizeof(T)) == 0);
}

template <class T>
bool same_bytes(const SharedArray<T>& a, const SharedArray<T>& b) {
    return same_bytes(a.to_vector(), b.to_vector());
}

template <class T>
bool same_bytes(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

bool same_answer(const std::optional<Quality>& a, const std::optional<Quality>& b) {
    return a.has_value() == b.has_value() && (!a || same_bytes(*a, *b));
}

void expect_same_model(const MeshModel& a, const MeshModel& b) {
    EXPECT_TRUE(same_bytes(a.nodes, b.nodes));
    EXPECT_EQ(a.root, b.root);
    EXPECT_TRUE(same_bytes(a.simplices, b.simplices));
    EXPECT_TRUE(same_bytes(a.faces, b.faces));
    EXPECT_EQ(a.vertex_count, b.vertex_count);
    EXPECT_TRUE(same_bytes(a.vertex_aabb, b.vertex_aabb));
    ASSERT_EQ(a.transform.has_value(), b.transform.has_value());
    if (a.transform) {
        EXPECT_TRUE(same_bytes(*a.transform, *b.transform));
    }
    ASSERT_EQ(a.finisher.index(), b.finisher.index());
    if (const auto* f = std::get_if<Interpolated>(&a.finisher)) {
        EXPECT_TRUE(same_bytes(f->qualities, std::get<Interpolated>(b.finisher).qualities));
    } else {
        const auto& p = std::get<DepthProfile>(a.finisher);
        const auto& q = std::get<DepthProfile>(b.finisher);
        EXPECT_EQ(p.pairs, q.pairs);
        EXPECT_TRUE(same_bytes(p.tops, q.tops));
        EXPECT_TRUE(same_bytes(p.layers, q.layers));
    }
    EXPECT_EQ(a.name, b.name);
    EXPECT_TRUE(same_bytes(a.bounds, b.bounds));
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.vertical, b.vertical);
    EXPECT_EQ(a.priority, b.priority);
}

// Points on a lattice over and around a box, plus a NaN.
std::vector<std::array<float, 3>> lattice(const std::array<float, 6>& box) {
    std::vector<std::array<float, 3>> out;
    for (float x = box[0] - 0.6f; x <= box[3] + 0.6f; x += 0.29f) {
        for (float y = box[1] - 0.6f; y <= box[4] + 0.6f; y += 0.31f) {
            for (float z = box[2] - 0.6f; z <= box[5] + 0.6f; z += 0.37f) out.push_back({x, y, z});
        }
    }
    out.push_back({NAN, 0.5f, 0.5f});
    return out;
}

Result<MeshModel> round_trip(const MeshModel& m) {
    return state::decode_mesh_model(encoded(m));
}

// --- round trips ------------------------------------------------------------

TEST(StateRoundTrip, MeshModelsKeepEveryFieldAndAnswer) {
    for (const MeshModel& m : {samples::interpolated_model(), samples::profile_model()}) {
        SCOPED_TRACE(m.name);
        Result<MeshModel> back = round_trip(m);
        ASSERT_TRUE(back.ok()) << back.error().message;
        expect_same_model(m, back.value());
        std::size_t found = 0;
        for (const auto& p : lattice(m.bounds)) {
            const auto a = MeshModel::query(m, p[0], p[1], p[2]);
            ASSERT_TRUE(same_answer(a, MeshModel::query(back.value(), p[0], p[1], p[2])));
            found += a.has_value();
        }
        EXPECT_GT(found, 100u);  // the lattice does reach into the model
        EXPECT_EQ(encoded(back.value()), encoded(m));
    }
}

TEST(StateRoundTrip, ModelTreeKeepsModelsHierarchyAndAnswers) {
    const ModelTree tree = samples::tree();
    Result<ModelTree> back = state::decode_model_tree(encoded(tree));
    ASSERT_TRUE(back.ok()) << back.error().message;
    ASSERT_EQ(back->models.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        expect_same_model(std::get<MeshModel>(tree.models[k]),
                          std::get<MeshModel>(back->models[k]));
    }
    EXPECT_TRUE(same_bytes(tree.nodes, back->nodes));
    EXPECT_EQ(ModelTree::structure_text(tree), ModelTree::structure_text(back.value()));
    std::size_t blended = 0;
    for (const auto& p : lattice(ModelTree::aabb(tree).value())) {
        const QueryPoint q{p[0], p[1], p[2], p[2] + 0.5f};
        ASSERT_TRUE(
            same_answer(ModelTree::query(tree, q, 0, 255), ModelTree::query(*back, q, 0, 255)));
        ASSERT_TRUE(same_answer(ModelTree::query(tree, q, 2, 3), ModelTree::query(*back, q, 2, 3)));
        const Explanation a = explain(tree, q), b = explain(*back, q);
        ASSERT_EQ(a.contributions.size(), b.contributions.size());
        for (std::size_t i = 0; i < a.contributions.size(); ++i) {
            ASSERT_EQ(a.contributions[i].priority, b.contributions[i].priority);
            ASSERT_TRUE(same_bytes(a.contributions[i].quality, b.contributions[i].quality));
        }
        ASSERT_EQ(a.termination, b.termination);
        blended += a.contributions.size() > 1;
    }
    EXPECT_GT(blended, 10u);  // overlaps are exercised
    EXPECT_EQ(encoded(back.value()), encoded(tree));
}

TEST(StateRoundTrip, StructuredGridKeepsNodesFitAndAnswers) {
    const StructuredGrid g = samples::grid();
    Result<StructuredGrid> back = state::decode_structured_grid(encoded(g));
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back->m, g.m);
    EXPECT_EQ(back->n, g.n);
    EXPECT_TRUE(same_bytes(back->nodes, g.nodes));
    EXPECT_TRUE(same_bytes(back->centroid, g.centroid));
    EXPECT_TRUE(same_bytes(back->index_centre, g.index_centre));
    EXPECT_TRUE(same_bytes(back->index_gradient, g.index_gradient));
    for (double x = -2; x < 6; x += 0.173) {
        for (double y = -2; y < 6; y += 0.191) {
            for (bool clamp : {true, false}) {
                const GridSample a = StructuredGrid::query(g, x, y, clamp);
                const GridSample b = StructuredGrid::query(*back, x, y, clamp);
                ASSERT_TRUE(same_bytes(a.value, b.value) && a.outside == b.outside);
            }
        }
    }
}

TEST(StateRoundTrip, CoastlineKeepsSegmentsAndDistances) {
    const Coastline c = samples::coastline();
    Result<Coastline> back = state::decode_coastline(encoded(c));
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_TRUE(same_bytes(back->segments, c.segments));
    EXPECT_TRUE(same_bytes(back->far_x, c.far_x));
    for (float x = -3; x < 13; x += 0.37f) {
        for (float y = -3; y < 13; y += 0.41f) {
            const float a = Coastline::signed_distance(c, x, y);
            ASSERT_TRUE(same_bytes(a, Coastline::signed_distance(*back, x, y)));
        }
    }
}

TEST(StateRoundTrip, EmptyRecords) {
    MeshBuilderState empty;
    const MeshModel m = MeshModel::build(empty, Interpolated{}).value();
    Result<MeshModel> model = round_trip(m);
    ASSERT_TRUE(model.ok()) << model.error().message;
    expect_same_model(m, *model);
    EXPECT_FALSE(MeshModel::query(*model, 0, 0, 0));

    Result<ModelTree> tree =
        state::decode_model_tree(encoded(ModelTree::build(std::vector<Model>{})));
    ASSERT_TRUE(tree.ok()) << tree.error().message;
    EXPECT_TRUE(tree->models.empty() && tree->nodes.empty());

    StridedView<float, 3> none;
    none.shape = {0, 2, 2};
    Result<Coastline> c = state::decode_coastline(encoded(Coastline::build(none).value()));
    ASSERT_TRUE(c.ok()) << c.error().message;
    EXPECT_EQ(Coastline::signed_distance(*c, 0, 0), INFINITY);
}

template <class Kind>
void expect_same_placed(const Kind& a, const Kind& b) {
    EXPECT_EQ(encoded(a), encoded(b));
    EXPECT_TRUE(same_bytes(a.bounds, b.bounds));
    EXPECT_TRUE(same_bytes(a.v_range, b.v_range));
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.id, b.id);
}

// Points around and inside the samples of the grid and columns kinds.
template <class Kind>
std::size_t expect_same_answers(const Kind& a, const Kind& b) {
    std::size_t found = 0;
    for (float x = -3; x < 5; x += 0.23f) {
        for (float y = -1; y < 4; y += 0.29f) {
            for (float v = -1; v < 7; v += 0.31f) {
                const auto qa = Kind::query(a, x, y, v);
                EXPECT_TRUE(same_answer(qa, Kind::query(b, x, y, v)));
                found += qa.has_value();
            }
        }
    }
    return found;
}

TEST(StateRoundTrip, GridAndColumnsModelsKeepEveryFieldAndAnswer) {
    const GridModel g = samples::grid_model();
    Result<GridModel> gb = state::decode_grid_model(encoded(g));
    ASSERT_TRUE(gb.ok()) << gb.error().message;
    expect_same_placed(g, *gb);
    EXPECT_GT(expect_same_answers(g, *gb), 50u);
    const ColumnsModel c = samples::columns_model();
    Result<ColumnsModel> cb = state::decode_columns_model(encoded(c));
    ASSERT_TRUE(cb.ok()) << cb.error().message;
    expect_same_placed(c, *cb);
    EXPECT_EQ(cb->offsets, c.offsets);
    EXPECT_GT(expect_same_answers(c, *cb), 50u);
}

TEST(StateRoundTrip, TreeOfEveryKindAndVersion1TreesLoad) {
    const ModelTree mixed = samples::mixed_tree();
    Result<ModelTree> back = state::decode_model_tree(encoded(mixed));
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(encoded(*back), encoded(mixed));
    for (float x = -2; x < 6; x += 0.37f) {
        for (float z = -1; z < 5; z += 0.41f) {
            const QueryPoint q{x, 1.3f, z, z + 0.5f};
            ASSERT_TRUE(same_answer(ModelTree::query(mixed, q, 0, 255),
                                    ModelTree::query(*back, q, 0, 255)));
        }
    }
    // A tree written in format version 1 (mesh models, untagged) reads back
    // as the same tree.
    const ModelTree tree = samples::tree();
    const Bytes v1 = fuzz::detail::as_version_1(StateKind::ModelTree, encoded(tree));
    EXPECT_LT(v1.size(), encoded(tree).size());
    Result<ModelTree> old = state::decode_model_tree(v1);
    ASSERT_TRUE(old.ok()) << old.error().message;
    EXPECT_EQ(encoded(*old), encoded(tree));
    EXPECT_EQ(fuzz::detail::read_back(StateKind::ModelTree, v1), fuzz::CaseOutcome::Accepted);
}

TEST(StateFormat, HeaderLeadsWithMagicVersionKindLengthAndChecksum) {
    const Bytes s = encoded(samples::grid());
    const std::uint8_t magic[8] = {0x89, 'O', 'R', 'V', 'I', 'K', '\r', '\n'};
    EXPECT_EQ(std::memcmp(s.data(), magic, 8), 0);
    std::uint32_t version, kind;
    std::uint64_t length, checksum, m, n;
    std::memcpy(&version, &s[8], 4);
    std::memcpy(&kind, &s[12], 4);
    std::memcpy(&length, &s[16], 8);
    std::memcpy(&checksum, &s[24], 8);
    std::memcpy(&m, &s[32], 8);
    std::memcpy(&n, &s[40], 8);
    EXPECT_EQ(version, 2u);
    EXPECT_EQ(kind, 3u);
    EXPECT_EQ(length, s.size() - 32);
    EXPECT_EQ(checksum, state::xxh64(std::span(s).subspan(32)));
    EXPECT_EQ(m, 4u);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(s.size(), 32u + 16u + 20u * 24u);
}

TEST(StateChecksum, MatchesXxh64ReferenceValues) {
    const auto of = [](std::string_view text, std::uint64_t seed = 0) {
        return state::xxh64(std::as_bytes(std::span(text.data(), text.size())), seed);
    };
    EXPECT_EQ(of(""), 0xEF46DB3751D8E999ull);
    EXPECT_EQ(of("abc"), 0x44BC2CF5AD770999ull);
    // Bytes 7i + 3, as computed by the xxHash library.
    Bytes b(200);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::byte>((i * 7 + 3) & 0xFF);
    EXPECT_EQ(state::xxh64(std::span(b)), 0xA6CB3C09BC829B24ull);
    EXPECT_EQ(state::xxh64(std::span(b).first(100), 12345), 0xACB8A02891FEA7D2ull);
    EXPECT_EQ(state::xxh64(std::span(b).first(33)), 0x50A7CFC7BA588784ull);
    // Fed in uneven pieces, the stream gives the same hash.
    state::Xxh64 stream;
    for (std::size_t at = 0, step = 1; at < b.size(); at += step, step = step * 3 % 37 + 1) {
        stream.update(std::span(b).subspan(at, std::min(step, b.size() - at)));
    }
    EXPECT_EQ(stream.digest(), 0xA6CB3C09BC829B24ull);
    // Longer than the pieces in which it is hashed and prefetched.
    Bytes long_input(10000);
    for (std::size_t i = 0; i < long_input.size(); ++i)
        long_input[i] = static_cast<std::byte>((i * 7 + 3) & 0xFF);
    EXPECT_EQ(state::xxh64(std::span(long_input)), 0xB195585F9792DBCAull);
    EXPECT_EQ(state::xxh64(std::span(long_input), 99), 0x64535224610B7AF8ull);
}

// --- refusals -------------------------------------------------------------------

template <class T>
void poke(Bytes& s, std::size_t at, T value) {
    std::memcpy(&s[at], &value, sizeof value);
}

// What reading `s` says, into a copy; a reading that borrows from a lender
// must say the same.
std::string refusal(StateKind kind, std::span<const std::byte> s) {
    const auto message = [](const auto& r) -> std::string {
        if (r.ok()) return "(accepted)";
        if (r.error().kind != ErrorKind::Value) return "(not a Value error) " + r.error().message;
        return r.error().message;
    };
    const auto lent = std::make_shared<const Bytes>(s.begin(), s.end());
    const auto both = [&](auto decode) {
        const std::string copied = message(decode(s, nullptr));
        const std::string borrowed = message(decode(std::span<const std::byte>(*lent), lent));
        return copied == borrowed ? copied : "(borrowing says " + borrowed + ") " + copied;
    };
    using Span = std::span<const std::byte>;
    switch (kind) {
        case StateKind::MeshModel:
            return both([](Span in, state::Lender l) { return state::decode_mesh_model(in, l); });
        case StateKind::ModelTree:
            return both([](Span in, state::Lender l) { return state::decode_model_tree(in, l); });
        case StateKind::StructuredGrid:
            return message(state::decode_structured_grid(s));
        case StateKind::Coastline:
            return message(state::decode_coastline(s));
        case StateKind::GridModel:
            return both([](Span in, state::Lender l) { return state::decode_grid_model(in, l); });
        case StateKind::ColumnsModel:
            return both(
                [](Span in, state::Lender l) { return state::decode_columns_model(in, l); });
    }
    return "";
}

struct Refusal {
    const char* what;
    StateKind kind;
    std::function<Bytes()> make;  // resealed unless the case is about the header
    const char* message;
};

Bytes sealed(StateKind kind, Bytes s) {
    state::seal(kind, s);
    return s;
}

// Offsets in a lone mesh model state (header, then the record).
constexpr std::size_t kSimplexCountAt = 32 + 8;
constexpr std::size_t kNodeCountAt = 32 + 16;
constexpr std::size_t kLayerCountAt = 32 + 40;
constexpr std::size_t kFlagsAt = 32 + 52;
constexpr std::size_t kFinisherAt = 32 + 53;
constexpr std::size_t kTransformAt = 32 + 104;
constexpr std::size_t kNameAt = 32 + 168;

template <class Edit>
Bytes mesh_state(Edit edit) {
    MeshModel m = samples::interpolated_model();
    edit(m);
    return encoded(m);
}

template <class Edit>
Bytes tree_state(Edit edit) {
    ModelTree t = samples::tree();
    edit(t);
    return encoded(t);
}

template <class Edit>
Bytes poked(Bytes s, StateKind kind, Edit edit) {
    edit(s);
    return sealed(kind, std::move(s));
}

// The first interior node of a model whose first child is interior too.
std::size_t parent_of_interior(const MeshModel& m) {
    for (std::size_t i = 0; i < m.nodes.size(); ++i) {
        if (!is_leaf(m.nodes[i].child0) && !is_leaf(m.nodes[i].child1)) return i;
    }
    ADD_FAILURE() << "no node with two interior children";
    return 0;
}

const std::vector<Refusal>& refusals() {
    const auto M = StateKind::MeshModel;
    const auto T = StateKind::ModelTree;
    const auto G = StateKind::StructuredGrid;
    const auto C = StateKind::Coastline;
    static const std::vector<Refusal> cases = {
        // The header.
        {"short header", M, [] { return Bytes(20); }, "shorter than the 32-byte header"},
        {"magic", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             s[1] = std::byte{'o'};
             return s;
         },
         "the magic tag is missing"},
        {"newer version", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             poke<std::uint32_t>(s, 8, 3);
             return s;
         },
         "format version 3 is newer than this orvik reads (up to 2)"},
        {"version 0", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             poke<std::uint32_t>(s, 8, 0);
             return s;
         },
         "format version 0 does not exist"},
        {"other kind", M, [] { return encoded(samples::grid()); },
         "it holds a structured grid, not a mesh model"},
        {"unknown kind", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             poke<std::uint32_t>(s, 12, 9);
             return s;
         },
         "unknown kind 9"},
        {"truncated payload", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             s.pop_back();
             return s;
         },
         "are present"},
        {"trailing bytes", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             s.push_back(std::byte{0});
             return s;
         },
         "1 bytes follow the"},
        {"flipped payload byte", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             s[s.size() / 2] ^= std::byte{4};
             return s;
         },
         "the checksum does not match"},
        {"flipped checksum", T,
         [] {
             auto s = encoded(samples::tree());
             s[30] ^= std::byte{1};
             return s;
         },
         "the checksum does not match"},
        // Lengths and counts.
        {"length past the end", M,
         [] {
             return poked(encoded(samples::interpolated_model()), M, [](Bytes& s) {
                 poke<std::uint64_t>(s, kNodeCountAt, std::uint64_t{1} << 61);
             });
         },
         "truncated in the compact nodes"},
        {"simplex limit", M,
         [] {
             return poked(encoded(samples::interpolated_model()), M, [](Bytes& s) {
                 poke<std::uint64_t>(s, kSimplexCountAt, std::uint64_t{1} << 29);
             });
         },
         "exceed the compact BVH limit of 2^29 - 1"},
        {"vertex count beyond the qualities", M,
         [] { return mesh_state([](MeshModel& m) { m.vertex_count += 1; }); },
         "truncated in the vertex qualities"},
        {"bytes after the record", M,
         [] {
             auto s = encoded(samples::interpolated_model());
             s.resize(s.size() + 8);
             return sealed(M, s);
         },
         "8 bytes follow the end of the record"},
        {"layers for an interpolated model", M,
         [] {
             return poked(encoded(samples::interpolated_model()), M,
                          [](Bytes& s) { poke<std::uint64_t>(s, kLayerCountAt, 2); });
         },
         "an interpolated finisher has no layers"},
        // Fields with a fixed set of values.
        {"unknown flag", M,
         [] {
             return poked(encoded(samples::interpolated_model()), M,
                          [](Bytes& s) { s[kFlagsAt] |= std::byte{8}; });
         },
         "unknown flags"},
        {"finisher", M,
         [] {
             return poked(encoded(samples::interpolated_model()), M,
                          [](Bytes& s) { s[kFinisherAt] = std::byte{5}; });
         },
         "finisher 5 is neither"},
        {"vertical mode", M,
         [] { return mesh_state([](MeshModel& m) { m.vertical = static_cast<VerticalMode>(7); }); },
         "vertical mode 7 is neither elevation (0) nor depth (1)"},
        {"absent transform not zero", M,
         [] {
             return poked(mesh_state([](MeshModel& m) { m.transform.reset(); }), M,
                          [](Bytes& s) { s[kTransformAt + 3] = std::byte{1}; });
         },
         "the absent transform is not zero"},
        {"absent transform of -0.0", M,
         [] {
             return poked(mesh_state([](MeshModel& m) { m.transform.reset(); }), M,
                          [](Bytes& s) { s[kTransformAt + 7] = std::byte{0x80}; });
         },
         "the absent transform is not zero"},
        {"singular transform", M,
         [] { return mesh_state([](MeshModel& m) { m.transform = std::array<float, 16>{}; }); },
         "the transform is singular"},
        {"name not UTF-8", M, [] { return mesh_state([](MeshModel& m) { m.name = "a\xff"; }); },
         "the name is not valid UTF-8"},
        {"name with a surrogate", M,
         [] { return mesh_state([](MeshModel& m) { m.name = "\xed\xa0\x80"; }); },
         "not valid UTF-8"},
        {"name overlong", M, [] { return mesh_state([](MeshModel& m) { m.name = "\xc0\xaf"; }); },
         "not valid UTF-8"},
        {"padding not zero", M,
         [] {
             return poked(mesh_state([](MeshModel& m) { m.name = "abc"; }), M,
                          [](Bytes& s) { s[kNameAt + 5] = std::byte{1}; });
         },
         "the padding after the name is not zero"},
        // The compact BVH.
        {"root without simplices", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 m.simplices = {};
                 m.faces = {};
                 m.nodes = {};
             });
         },
         "a root must be present exactly when there are simplices"},
        {"child pointing backwards", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 const std::size_t at = parent_of_interior(m);
                 edit(m.nodes, [&](auto& nodes) { nodes[at].child1 = 0; });
             });
         },
         "points backwards, to node 0"},
        {"child out of range", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 const auto past = static_cast<NodeRef>(m.nodes.size() + 3);
                 edit(m.nodes, [&](auto& nodes) { nodes[0].child0 = past; });
             });
         },
         "past the"},
        {"children swapped", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 const std::size_t at = parent_of_interior(m);
                 edit(m.nodes, [&](auto& nodes) { std::swap(nodes[at].child0, nodes[at].child1); });
             });
         },
         "but pre-order puts node"},
        {"interior reference with count bits", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 edit(m.nodes, [](auto& nodes) { nodes[0].child0 |= 0x20000000u; });
             });
         },
         "has leaf-count bits on an interior node"},
        {"leaf past the simplices", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 edit(m.simplices, [](auto& s) { s.pop_back(); });
                 edit(m.faces, [](auto& f) { f.pop_back(); });
             });
         },
         "past the 71 simplices"},
        {"simplex in no leaf", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 edit(m.simplices, [](auto& s) { s.push_back(s[0]); });
                 edit(m.faces, [](auto& f) { f.push_back(f[0]); });
             });
         },
         "the leaves cover 72 of the 73 simplices"},
        {"unreachable node", M,
         [] {
             return mesh_state(
                 [](MeshModel& m) { edit(m.nodes, [](auto& n) { n.push_back(n.back()); }); });
         },
         "are not reachable from the root"},
        {"small subtree not a leaf", M,
         [] {
             MeshModel m = samples::interpolated_model();
             edit(m.simplices, [](auto& s) { s.resize(2); });
             edit(m.faces, [](auto& f) { f.resize(2); });
             CompactNode node{};
             node.child0 = kLeafBit;
             node.child1 = kLeafBit + 1;
             m.nodes = {node};
             m.root = 0;
             return encoded(m);
         },
         "compact node 0 holds 2 simplices"},
        {"face past the vertices", M,
         [] {
             return mesh_state([](MeshModel& m) {
                 const auto past = static_cast<std::uint32_t>(m.vertex_count);
                 edit(m.faces, [&](auto& f) { f[7][2] = past; });
             });
         },
         "face 7 names vertex 36, past the 36 vertices"},
        // The depth profile.
        {"NaN layer top", M,
         [] {
             MeshModel m = samples::profile_model();
             std::get<DepthProfile>(m.finisher).tops[1] = NAN;
             return encoded(m);
         },
         "depth profile layer top 1 is NaN"},
        {"tops not increasing", M,
         [] {
             MeshModel m = samples::profile_model();
             std::get<DepthProfile>(m.finisher).tops[1] = 4.0f;
             return encoded(m);
         },
         "layer tops must strictly increase"},
        {"layer alpha", M,
         [] {
             MeshModel m = samples::profile_model();
             std::get<DepthProfile>(m.finisher).layers[2].alpha = 0.5f;
             return encoded(m);
         },
         "depth profile layer 2 has alpha"},
        {"profile without layers", M,
         [] {
             MeshModel m = samples::profile_model();
             auto& p = std::get<DepthProfile>(m.finisher);
             p.layers.clear();
             p.tops.clear();
             return encoded(m);
         },
         "a depth profile needs at least one layer"},
        // The model tree.
        {"model count past the end", T,
         [] {
             return poked(encoded(samples::tree()), T,
                          [](Bytes& s) { poke<std::uint64_t>(s, 32, std::uint64_t{1} << 62); });
         },
         "truncated in the models"},
        {"node count", T, [] { return tree_state([](ModelTree& t) { t.nodes.pop_back(); }); },
         "3 models need 5 nodes, the state has 4"},
        {"model id", T,
         [] { return tree_state([](ModelTree& t) { std::get<MeshModel>(t.models[1]).id = 5; }); },
         "model 1: its id is 5"},
        {"broken model inside", T,
         [] {
             return tree_state([](ModelTree& t) {
                 edit(std::get<MeshModel>(t.models[2]).faces, [](auto& f) { f[0][0] = 999; });
             });
         },
         "model 2: face 0 names vertex 999"},
        {"leaf past the models", T,
         [] {
             return tree_state([](ModelTree& t) {
                 for (auto& n : t.nodes)
                     if (n.is_leaf()) {
                         n.model = 3;
                         break;
                     }
             });
         },
         "names model 3, past the 3 models"},
        {"model in two leaves", T,
         [] {
             return tree_state([](ModelTree& t) {
                 std::uint32_t first = kTreeInterior;
                 for (auto& n : t.nodes)
                     if (n.is_leaf()) {
                         if (first == kTreeInterior)
                             first = n.model;
                         else
                             n.model = first;
                     }
             });
         },
         "is in more than one leaf"},
        {"tree child backwards", T,
         [] { return tree_state([](ModelTree& t) { t.nodes[0].right = 0; }); },
         "has a child pointing backwards, to node 0"},
        {"tree child out of range", T,
         [] { return tree_state([](ModelTree& t) { t.nodes[0].left = 9; }); },
         "has a child 9, past the 5 nodes"},
        {"leaf with child fields", T,
         [] {
             return tree_state([](ModelTree& t) {
                 for (auto& n : t.nodes)
                     if (n.is_leaf()) {
                         n.left = 1;
                         break;
                     }
             });
         },
         "carries child fields"},
        {"priority key that lies", T,
         [] { return tree_state([](ModelTree& t) { t.nodes[0].left_box.min[3] += 1.0f; }); },
         "the child boxes of node 0 differ from the boxes of their subtrees"},
        {"box that lies", T,
         [] { return tree_state([](ModelTree& t) { t.nodes[0].right_box.max[0] = NAN; }); },
         "differ from the boxes of their subtrees"},
        // Grid and columns models, and their tags in a tree.
        {"grid model in version 1", StateKind::GridModel,
         [] {
             auto s = encoded(samples::grid_model());
             poke<std::uint32_t>(s, 8, 1);
             return s;
         },
         "a grid model state needs format version 2, the header gives 1"},
        {"grid axis out of order", StateKind::GridModel,
         [] {
             GridModel g = samples::grid_model();
             return poked(encoded(g), StateKind::GridModel,
                          [](Bytes& s) { poke<double>(s, 32 + 120 + 16, 0.5); });
         },
         "corrupt grid model state: x must be strictly increasing"},
        {"grid nodes past the end", StateKind::GridModel,
         [] {
             return poked(encoded(samples::grid_model()), StateKind::GridModel, [](Bytes& s) {
                 poke<std::uint64_t>(s, 32 + 16, std::uint64_t{1} << 40);
             });
         },
         "truncated in the v axis"},
        {"grid reserved bytes", StateKind::GridModel,
         [] {
             return poked(encoded(samples::grid_model()), StateKind::GridModel,
                          [](Bytes& s) { s[32 + 44] = std::byte{1}; });
         },
         "the reserved bytes are not zero"},
        {"columns with a zero-thickness layer", StateKind::ColumnsModel,
         [] {
             ColumnsModel c = samples::columns_model();
             edit(c.v, [](auto& v) { v[1] = v[0]; });
             return encoded(c);
         },
         "the profile of tile (0, 0) holds a zero-thickness layer"},
        {"columns offsets", StateKind::ColumnsModel,
         [] {
             ColumnsModel c = samples::columns_model();
             edit(c.offsets, [](auto& o) { o.back() += 1; });
             return encoded(c);
         },
         "offsets must end at len(v)"},
        {"unknown model tag", T,
         [] {
             return poked(encoded(samples::mixed_tree()), T,
                          [](Bytes& s) { poke<std::uint64_t>(s, 32 + 16, 9); });
         },
         "model 0: its tag 9 names no model kind (1 mesh, 5 grid, 6 columns)"},
        // The grid and the coastline.
        {"one-row grid", G,
         [] {
             return poked(encoded(samples::grid()), G,
                          [](Bytes& s) { poke<std::uint64_t>(s, 32, 1); });
         },
         "grid must have at least two rows and columns; got 1x5"},
        {"grid size past the end", G,
         [] {
             return poked(encoded(samples::grid()), G, [](Bytes& s) {
                 poke<std::uint64_t>(s, 32, std::uint64_t{1} << 62);
                 poke<std::uint64_t>(s, 40, 8);
             });
         },
         "truncated in the nodes"},
        {"collinear grid", G,
         [] {
             StructuredGrid g = samples::grid();
             for (std::size_t k = 0; k < g.nodes.size(); ++k)
                 g.nodes[k] = {double(k), double(k), 1.0};
             return encoded(g);
         },
         "grid nodes are collinear"},
        {"segment count past the end", C,
         [] {
             return poked(encoded(samples::coastline()), C,
                          [](Bytes& s) { poke<std::uint64_t>(s, 32, 9); });
         },
         "truncated in the segments"},
    };
    return cases;
}

TEST(StateRefusal, EachBrokenInvariantIsAValueErrorThatSaysWhat) {
    for (const Refusal& c : refusals()) {
        SCOPED_TRACE(c.what);
        Bytes s = c.make();
        EXPECT_NE(refusal(c.kind, s).find(c.message), std::string::npos)
            << "got: " << refusal(c.kind, s) << "\nwanted: " << c.message;
    }
}

TEST(StateRefusal, EveryFlippedOrMissingByteIsCaught) {
    // The checksum and the header leave nothing unchecked: each single-byte
    // change and each truncation is refused.
    const Bytes s = encoded(samples::profile_model());
    for (std::size_t i = 0; i < s.size(); ++i) {
        Bytes t = s;
        t[i] ^= std::byte{0x10};
        ASSERT_NE(refusal(StateKind::MeshModel, t).find("invalid orvik state"), std::string::npos)
            << i;
    }
    for (std::size_t n = 0; n < s.size(); ++n) {
        ASSERT_NE(refusal(StateKind::MeshModel, std::span(s).first(n)).find("invalid orvik state"),
                  std::string::npos)
            << n;
    }
}

class ResealedEdits : public ::testing::TestWithParam<int> {};

TEST_P(ResealedEdits, AreRefusedOrWriteBackExactly) {
    // Every byte of a real state, changed and resealed: the reader must
    // refuse with a Value error or accept a state that it would write itself.
    const int which = GetParam();
    const StateKind kind = fuzz::detail::kKindOf[which];
    const Bytes s = fuzz::detail::sample_state(which);
    std::size_t refused = 0;
    for (std::size_t i = state::kHeaderSize; i < s.size(); ++i) {
        for (std::uint8_t x : {0x01, 0x80, 0xFF}) {
            Bytes t = s;
            t[i] ^= std::byte{x};
            fuzz::detail::reseal(kind, t, fuzz::detail::version_of(s));
            const fuzz::CaseOutcome outcome = fuzz::detail::read_back(kind, t);
            ASSERT_NE(outcome, fuzz::CaseOutcome::Broken) << "byte " << i << " ^ " << int(x);
            refused += outcome == fuzz::CaseOutcome::Refused;
        }
    }
    EXPECT_GT(refused, 100u);
}

// The version 1 tree, a grid model, a columns model and a tree of every kind.
INSTANTIATE_TEST_SUITE_P(Samples, ResealedEdits, ::testing::Values(2, 5, 6, 7));

TEST(StateRefusal, KeptFuzzerInputsReplayWithoutFault) {
    const std::filesystem::path dir = ORVIK_STATE_REGRESSIONS;
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
        SCOPED_TRACE(entry.path().filename().string());
        const auto outcome = fuzz::run_fuzz_state_input(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        EXPECT_NE(outcome, fuzz::CaseOutcome::Broken);
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}

}  // namespace
}  // namespace orvik
