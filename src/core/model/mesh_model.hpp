// One built tetrahedral mesh model: immutable, self-contained, queried at a
// point through its compact BVH.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/result.hpp"
#include "common/shared_array.hpp"
#include "compact_bvh/compact_bvh.hpp"
#include "model/vertical_mode.hpp"
#include "quality/quality.hpp"

namespace orvik {

// Origin D of a simplex and the inverse of its edge matrix [A-D, B-D, C-D],
// stored column by column, so that barycentric weights cost nine products.
struct SimplexRecord {
    float origin[3];
    float inverse[9];
};
static_assert(sizeof(SimplexRecord) == 48, "SimplexRecord must stay 48 bytes");

// Per-vertex qualities, interpolated barycentrically (Q harmonically).
struct Interpolated {
    SharedArray<Quality> qualities;
};

// The depth and alpha a depth profile keeps at a vertex.
struct DepthAlpha {
    float depth;
    float alpha;

    friend bool operator==(const DepthAlpha&, const DepthAlpha&) = default;
};

// A layered 1-D profile evaluated at the interpolated per-vertex depth.
struct DepthProfile {
    SharedArray<DepthAlpha> pairs;  // per vertex
    std::vector<float> tops;        // tops of layers 1 .. L-1, increasing
    std::vector<Quality> layers;    // L layers, alpha 1

    // The layer that depth `d` falls in: the number of tops t <= d.
    static std::size_t layer_index(const std::vector<float>& tops, float d);
};

using Finisher = std::variant<Interpolated, DepthProfile>;

struct MeshBuilderState;  // model/mesh_builder.hpp

struct MeshModel {
    static constexpr const char* kKindName = "mesh";  // in messages and views

    SharedArray<CompactNode> nodes;
    std::optional<NodeRef> root;
    SharedArray<SimplexRecord> simplices;             // leaf order
    SharedArray<std::array<std::uint32_t, 4>> faces;  // leaf order, A B C D
    std::uint64_t vertex_count = 0;
    std::array<float, 6> vertex_aabb{};              // padded vertex box in world coordinates
    std::optional<std::array<float, 16>> transform;  // world to local, row-major
    Finisher finisher;
    std::string name;
    std::array<float, 6> bounds{};  // as declared: min xyz, max xyz
    std::uint64_t id = 0;
    VerticalMode vertical = VerticalMode::Elevation;
    std::uint8_t priority = 0;

    // Consumes the builder's mesh (the builder is marked built first) and
    // validates, boxes, records and indexes it.
    static Result<MeshModel> build(MeshBuilderState& builder, Finisher finisher);

    // The quality at world point (x, y) with vertical coordinate v, or nothing
    // when no simplex contains it. Pure; safe on any thread; no allocation in
    // the common case.
    static std::optional<Quality> query(const MeshModel& model, float x, float y, float v);

    // `query` for a packet of up to kPacketLanes points at once: lane k (bit
    // k of `live`) is the point (x[k], y[k], v[k]); its quality goes to
    // out[k] when some simplex contains it. Returns the lanes found. Each
    // lane's answer is bit for bit that of `query`, and nearby points share
    // the traversal of the nodes they have in common. All kPacketLanes
    // entries of x, y and v are read; lanes outside `live` are ignored.
    // `boxes` picks how node boxes are tested: eight lanes per comparison
    // where the processor has AVX (Widest), or four (Baseline); the same
    // bits either way.
    static constexpr int kPacketLanes = 16;
    enum class PacketBoxes { Widest, Baseline };
    static unsigned query_packet(const MeshModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out,
                                 PacketBoxes boxes = PacketBoxes::Widest);

    // Depth of the compact BVH: 0 without root or with a leaf root.
    static std::uint32_t tree_depth(const MeshModel& model);

    // Byte-size estimate reported by views.
    static std::uint64_t size_estimate(const MeshModel& model);

    // Its size in the tree's printed summary: " with ...".
    static std::string summary(const MeshModel& model);
};

}  // namespace orvik
