// The binary state of orvik objects: what pickling writes and what
// `__from_state` reads back. This comment is the one description of the format.
//
// Every number is little-endian; floats are IEEE 754 bit patterns, written
// exactly as they are held in memory (NaN payloads included). Arrays are the
// in-memory arrays themselves, so that a reload is a copy plus checks.
//
// Header (32 bytes)
//   0  8 bytes  magic tag 89 4F 52 56 49 4B 0D 0A ("\x89ORVIK\r\n")
//   8  u32      format version: kFormatVersion when written; 1 is still read
//  12  u32      kind: 1 mesh model, 2 model tree, 3 structured grid, 4 coastline,
//               5 grid model, 6 columns model (kinds 5 and 6 from version 2 on)
//  16  u64      payload length in bytes (everything after the header)
//  24  u64      XXH64 (seed 0) of the payload
//  32           payload of the kind
//
// Every section of a payload starts at a multiple of 8 bytes from the start
// of the state; the bytes that pad a section to that boundary are zero.
//
// Mesh model record (the payload of kind 1; repeated inside kind 2)
//   0  u64  vertex_count V
//   8  u64  simplex count S (simplex records and faces alike), at most 2^29 - 1
//  16  u64  compact node count N
//  24  u64  id
//  32  u64  name length in bytes (UTF-8)
//  40  u64  layer count L: 0 for the interpolated finisher, >= 1 for a depth profile
//  48  u32  root NodeRef (0 when absent)
//  52  u8   flags: bit 0 root present (exactly when S > 0), bit 1 transform present
//  53  u8   finisher: 0 interpolated, 1 depth profile
//  54  u8   vertical mode: 0 elevation, 1 depth
//  55  u8   priority
//  56  6 f32   vertex_aabb (min xyz, max xyz)
//  80  6 f32   bounds
// 104  16 f32  transform t0..t15 (all zero when absent)
// 168  name bytes, padded
//      N compact nodes, 56 bytes each: box0 min, box0 max, child0, box1 min, box1 max, child1
//      S simplex records, 48 bytes each: origin xyz, inverse edge matrix column by column
//      S faces, 4 u32 each (A B C D), in the leaf order of the simplices
//      interpolated: V qualities, 6 f32 each (rho vp vs qp qs alpha)
//      depth profile: V (depth, alpha) pairs of f32, then L - 1 f32 layer tops
//                     (padded), then L layer qualities of 6 f32 with alpha 1
//
// Grid model record (the payload of kind 5; inside kind 2 after its tag)
//   0  u64  nodes along x, nx >= 2
//   8  u64  nodes along y, ny >= 2
//  16  u64  nodes along v, nv >= 2
//  24  u64  id
//  32  u64  name length in bytes (UTF-8)
//  40  u8   flags: bit 1 transform present
//  41  u8   vertical mode: 0 elevation, 1 depth
//  42  u8   priority
//  43  5 zero bytes
//  48  16 f32  transform t0..t15 (all zero when absent)
// 112  name bytes, padded
//      nx f64 x, ny f64 y, nv f64 v (local node coordinates)
//      nx * ny * nv nodes, x slowest and v fastest, 6 f32 each:
//      rho vp vs 1/qp 1/qs alpha (the quality factors as reciprocals); padded
//
// Columns model record (the payload of kind 6; inside kind 2 after its tag)
//   0  u64  tiles along x, nx >= 1
//   8  u64  tiles along y, ny >= 1
//  16  u64  profile node count K
//  24  the fields of a grid model record from its offset 24 on (id, name
//      length, flags, vertical mode, priority, zero bytes, transform, name)
//      nx + 1 f64 x tile edges, ny + 1 f64 y tile edges
//      nx * ny + 1 u64 offsets: tile t = i * ny + j holds profile nodes
//      offsets[t] to offsets[t + 1] - 1
//      K f64 v, the profile nodes' vertical coordinates
//      K nodes of 6 f32 as in a grid model record; padded
//
// The bounds and vertical ranges of grid and columns models, and their axis
// lookups, are derived from these fields and recomputed on load.
//
// Model tree (kind 2)
//   0  u64  model count M
//   8  u64  node count: 2M - 1, or 0 when M is 0
//  16       M model records, model k with id k; from version 2 on each is
//           preceded by a u64 tag, the kind of its own state (1 mesh model,
//           5 grid model, 6 columns model); version 1 holds mesh models only,
//           untagged
//           the nodes, 76 bytes each: u32 model (0xFFFFFFFF for an interior
//           node), u32 left, u32 right, left box (min xyzw, max xyzw, 8 f32),
//           right box (8 f32); padded
//
// Structured grid (kind 3)
//   0  u64  rows m >= 2
//   8  u64  columns n >= 2
//  16       m * n nodes, row by row, 3 f64 each (x, y, value)
//
// Coastline (kind 4)
//   0  u64  segment count
//   8       the segments, 4 f32 each (endpoint 0 x y, endpoint 1 x y)
//
// The hierarchies (the compact BVH of each mesh model and the tree's node
// array) are stored and checked on load: pre-order numbering with every child
// after its parent, leaves covering the simplices in order, every model in
// exactly one leaf, the tree's child boxes equal to the boxes of their
// subtrees. The grid's start-cell fit and the coastline's segment index are
// derived data: they are recomputed on load, and answers do not depend on
// anything but the stored arrays.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace orvik::state {

static_assert(std::endian::native == std::endian::little,
              "the state format is the in-memory little-endian layout");

inline constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'O', 'R', 'V', 'I', 'K', '\r', '\n'};
inline constexpr std::uint32_t kFormatVersion = 2;
inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kAlignment = 8;

enum class StateKind : std::uint32_t {
    MeshModel = 1,
    ModelTree = 2,
    StructuredGrid = 3,
    Coastline = 4,
    GridModel = 5,
    ColumnsModel = 6,
};

// What the format says of each kind, in kind order (numbered from 1 on).
struct KindFacts {
    StateKind kind;
    const char* name;             // in messages
    std::uint32_t first_version;  // the first format version that holds it
};
inline constexpr KindFacts kKinds[] = {
    {StateKind::MeshModel, "mesh model", 1},
    {StateKind::ModelTree, "model tree", 1},
    {StateKind::StructuredGrid, "structured grid", 1},
    {StateKind::Coastline, "coastline", 1},
    {StateKind::GridModel, "grid model", 2},
    {StateKind::ColumnsModel, "columns model", 2},
};

// The facts of kind number `kind`; for a number that names no kind, a null
// name and first version 0. (Values, not pointers: the sanitizer build does
// not take a pointer's comparison as a constant.)
inline constexpr KindFacts kind_facts(std::uint32_t kind) {
    for (const KindFacts& k : kKinds) {
        if (static_cast<std::uint32_t>(k.kind) == kind) return k;
    }
    return {StateKind{}, nullptr, 0};
}

// "mesh model", "model tree", ...; nullptr for a number that names no kind.
inline constexpr const char* kind_name(std::uint32_t kind) {
    return kind_facts(kind).name;
}

inline constexpr std::uint32_t first_version(StateKind kind) {
    return kind_facts(static_cast<std::uint32_t>(kind)).first_version;
}

}  // namespace orvik::state
