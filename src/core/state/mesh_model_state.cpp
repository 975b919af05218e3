// The mesh model record: fixed fields, name, compact BVH, simplex records,
// faces and finisher, written as held in memory and checked on the way back.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "common/transform.hpp"
#include "common/utf8.hpp"
#include "state/bvh_check.hpp"
#include "state/records.hpp"
#include "state/state.hpp"

namespace orvik::state {
namespace {

constexpr std::uint8_t kHasRoot = 1;
constexpr std::uint8_t kHasTransform = 2;
constexpr std::uint8_t kInterpolatedFinisher = 0;
constexpr std::uint8_t kDepthProfileFinisher = 1;

// The first face that names a vertex past the count; only looked for once
// the running maximum taken while reading has shown that there is one.
std::string face_problem(const SharedArray<std::array<std::uint32_t, 4>>& faces,
                         std::uint64_t vertex_count) {
    for (std::size_t f = 0; f < faces.size(); ++f) {
        for (std::uint32_t index : faces[f]) {
            if (index >= vertex_count) {
                return "face " + std::to_string(f) + " names vertex " + std::to_string(index) +
                       ", past the " + std::to_string(vertex_count) + " vertices";
            }
        }
    }
    return "a face names a vertex past the count";
}

std::optional<std::string> profile_problem(const DepthProfile& p) {
    for (std::size_t i = 0; i < p.tops.size(); ++i) {
        if (std::isnan(p.tops[i]))
            return "depth profile layer top " + std::to_string(i) + " is NaN";
        if (i > 0 && !(p.tops[i] > p.tops[i - 1])) {
            return "depth profile layer tops must strictly increase (top " + std::to_string(i) +
                   " is not above top " + std::to_string(i - 1) + ")";
        }
    }
    for (std::size_t i = 0; i < p.layers.size(); ++i) {
        if (p.layers[i].alpha != 1.0f) {
            return "depth profile layer " + std::to_string(i) + " has alpha " +
                   std::to_string(p.layers[i].alpha) + " instead of 1";
        }
    }
    return std::nullopt;
}

}  // namespace

Error padding(const Where& where, ByteReader::Pad pad, const std::string& after) {
    return where.fail(pad == ByteReader::Pad::Missing
                          ? "truncated in the padding after " + after
                          : "the padding after " + after + " is not zero");
}

Error Where::truncated(const std::string& part) const {
    return fail("truncated in " + part);
}

Error Where::truncated(const std::string& part, std::uint64_t count, std::size_t item_size,
                       std::size_t remaining) const {
    return fail("truncated in " + part + ": " + std::to_string(count) + " of " +
                std::to_string(item_size) + " bytes each, " + std::to_string(remaining) +
                " bytes left");
}

void put_mesh_model(ByteWriter& w, const MeshModel& m) {
    const auto* profile = std::get_if<DepthProfile>(&m.finisher);
    w.scalar<std::uint64_t>(m.vertex_count);
    w.scalar<std::uint64_t>(m.simplices.size());
    w.scalar<std::uint64_t>(m.nodes.size());
    w.scalar<std::uint64_t>(m.id);
    w.scalar<std::uint64_t>(m.name.size());
    w.scalar<std::uint64_t>(profile ? profile->layers.size() : 0);
    w.scalar<std::uint32_t>(m.root.value_or(0));
    w.scalar<std::uint8_t>((m.root ? kHasRoot : 0) | (m.transform ? kHasTransform : 0));
    w.scalar<std::uint8_t>(profile ? kDepthProfileFinisher : kInterpolatedFinisher);
    w.scalar<std::uint8_t>(static_cast<std::uint8_t>(m.vertical));
    w.scalar<std::uint8_t>(m.priority);
    w.scalar(m.vertex_aabb);
    w.scalar(m.bounds);
    w.scalar(m.transform.value_or(std::array<float, 16>{}));
    w.bytes(m.name.data(), m.name.size());
    w.pad();
    w.array(m.nodes);
    w.array(m.simplices);
    w.array(m.faces);
    if (profile) {
        w.array(profile->pairs);
        w.array(profile->tops);
        w.pad();
        w.array(profile->layers);
    } else {
        w.array(std::get<Interpolated>(m.finisher).qualities);
    }
}

Result<MeshModel> take_mesh_model(ByteReader& r, const Where& where) {
    MeshModel m;
    std::uint64_t simplex_count = 0, node_count = 0, name_length = 0, layer_count = 0;
    std::uint32_t root = 0;
    std::uint8_t flags = 0, finisher = 0, vertical = 0;
    std::array<float, 16> transform{};
    if (r.remaining() < kMeshModelFixedSize) return where.truncated("the mesh model fields");
    r.scalar(m.vertex_count);
    r.scalar(simplex_count);
    r.scalar(node_count);
    r.scalar(m.id);
    r.scalar(name_length);
    r.scalar(layer_count);
    r.scalar(root);
    r.scalar(flags);
    r.scalar(finisher);
    r.scalar(vertical);
    r.scalar(m.priority);
    r.scalar(m.vertex_aabb);
    r.scalar(m.bounds);
    r.scalar(transform);

    if ((flags & ~(kHasRoot | kHasTransform)) != 0) {
        return where.fail("unknown flags " + std::to_string(flags));
    }
    if (finisher > kDepthProfileFinisher) {
        return where.fail("finisher " + std::to_string(finisher) +
                          " is neither interpolated (0) nor depth profile (1)");
    }
    if (vertical > static_cast<std::uint8_t>(VerticalMode::Depth)) {
        return where.fail("vertical mode " + std::to_string(vertical) +
                          " is neither elevation (0) nor depth (1)");
    }
    m.vertical = static_cast<VerticalMode>(vertical);
    if (simplex_count > kMaxIndex) {
        return where.fail(std::to_string(simplex_count) +
                          " simplices exceed the compact BVH limit of 2^29 - 1");
    }
    if (((flags & kHasRoot) != 0) != (simplex_count > 0)) {
        return where.fail("a root must be present exactly when there are simplices (" +
                          std::to_string(simplex_count) + ")");
    }
    if ((flags & kHasRoot) != 0)
        m.root = root;
    else if (root != 0)
        return where.fail("the absent root is not zero");
    if ((flags & kHasTransform) != 0) {
        m.transform = transform;
    } else if (std::bit_cast<std::array<std::uint32_t, 16>>(transform) !=
               std::array<std::uint32_t, 16>{}) {
        // Bits, not values: a -0.0 would be dropped here and written back as +0.0.
        return where.fail("the absent transform is not zero");
    }
    if (finisher == kInterpolatedFinisher && layer_count != 0) {
        return where.fail("an interpolated finisher has no layers, the state gives " +
                          std::to_string(layer_count));
    }
    if (finisher == kDepthProfileFinisher && layer_count == 0) {
        return where.fail("a depth profile needs at least one layer");
    }

    if (!r.text(m.name, name_length)) {
        return where.truncated("the name", name_length, 1, r.remaining());
    }
    if (!valid_utf8(m.name)) return where.fail("the name is not valid UTF-8");
    if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok)
        return padding(where, pad, "the name");

    if (!r.array(m.nodes, node_count)) {
        return where.truncated("the compact nodes", node_count, sizeof(CompactNode), r.remaining());
    }
    if (!r.array(m.simplices, simplex_count)) {
        return where.truncated("the simplex records", simplex_count, sizeof(SimplexRecord),
                               r.remaining());
    }
    std::uint32_t largest = 0;
    const auto widest = [&](const std::array<std::uint32_t, 4>* faces, std::size_t from,
                            std::size_t to) {
        std::uint32_t most = largest;  // a loop without exits, which the compiler vectorises
        for (std::size_t f = from; f < to; ++f) {
            for (std::uint32_t index : faces[f]) most = std::max(most, index);
        }
        largest = most;
    };
    if (!r.array(m.faces, simplex_count, widest)) {
        return where.truncated("the faces", simplex_count, 16, r.remaining());
    }
    if (finisher == kInterpolatedFinisher) {
        Interpolated f;
        if (!r.array(f.qualities, m.vertex_count)) {
            return where.truncated("the vertex qualities", m.vertex_count, sizeof(Quality),
                                   r.remaining());
        }
        m.finisher = std::move(f);
    } else {
        DepthProfile f;
        static_assert(sizeof(DepthAlpha) == 8, "a depth and an alpha are two f32");
        if (!r.array(f.pairs, m.vertex_count)) {
            return where.truncated("the vertex depths and alphas", m.vertex_count, 8,
                                   r.remaining());
        }
        if (!r.array(f.tops, layer_count - 1)) {
            return where.truncated("the layer tops", layer_count - 1, sizeof(float), r.remaining());
        }
        if (const auto pad = r.pad(); pad != ByteReader::Pad::Ok) {
            return padding(where, pad, "the layer tops");
        }
        if (!r.array(f.layers, layer_count)) {
            return where.truncated("the layers", layer_count, sizeof(Quality), r.remaining());
        }
        if (auto problem = profile_problem(f)) return where.fail(*problem);
        m.finisher = std::move(f);
    }

    if (auto problem = compact_bvh_problem(m.nodes.data(), m.nodes.size(), m.root,
                                           static_cast<std::size_t>(simplex_count))) {
        return where.fail(*problem);
    }
    if (!m.faces.empty() && largest >= m.vertex_count) {
        return where.fail(face_problem(m.faces, m.vertex_count));
    }
    // The build refuses a singular transform once there are vertices to map.
    if (m.transform && m.vertex_count > 0) {
        std::array<float, 16> inverse{};
        if (!invert4(*m.transform, inverse)) return where.fail("the transform is singular");
    }
    return m;
}

std::size_t encoded_size(const MeshModel& model) {
    return sealed_size(model, put_mesh_model);
}

void encode(const MeshModel& model, std::span<std::byte> out) {
    write_sealed(StateKind::MeshModel, model, out, put_mesh_model);
}

Status encode(const MeshModel& model, ByteSink& sink) {
    return write_sealed(StateKind::MeshModel, model, sink, put_mesh_model);
}

Result<MeshModel> decode_mesh_model(std::span<const std::byte> in, Lender lender) {
    return read_sealed<MeshModel>(
        StateKind::MeshModel, in,
        [](ByteReader& r) {
            return take_mesh_model(r, Where{StateKind::MeshModel, ""});
        },
        std::move(lender));
}

}  // namespace orvik::state
