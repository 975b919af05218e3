#include "model/mesh_model.hpp"

#include <bit>

#include "common/isa.hpp"
#include "common/lanes.hpp"
#include "common/transform.hpp"
#include "model/leaf_test.hpp"
#include "model/packet_kernel.hpp"

namespace orvik {
namespace {

// The finisher's sums, written once for one value (float) or for four lanes
// of values (lanes::F4); each lane computes what the scalar sum computes.
template <class T>
inline T weighted(const T* w, T a, T b, T c, T d) {
    return (((lanes::splat<T>(0.0f) + w[0] * a) + w[1] * b) + w[2] * c) + w[3] * d;
}

// Quality factors interpolate harmonically: the weighted mean of 1/Q, inverted.
template <class T>
inline T weighted_harmonic(const T* w, T a, T b, T c, T d) {
    const T one = lanes::splat<T>(1.0f);
    return one / weighted(w, one / a, one / b, one / c, one / d);
}

// The Interpolated finisher: q[v][k] is column k of the quality at vertex v.
static_assert(kQualityColumns == 6, "every column needs its rule in interpolate");
template <class T>
inline void interpolate(const T* w, const T (*q)[kQualityColumns], T* out) {
    for (std::size_t k : {column::rho, column::vp, column::vs, column::alpha}) {
        out[k] = weighted(w, q[0][k], q[1][k], q[2][k], q[3][k]);
    }
    for (std::size_t k : {column::qp, column::qs}) {
        out[k] = weighted_harmonic(w, q[0][k], q[1][k], q[2][k], q[3][k]);
    }
}

Quality finish(const Interpolated& f, const std::array<std::uint32_t, 4>& face, const Weights& w) {
    float q[4][kQualityColumns];
    for (int v = 0; v < 4; ++v) {
        const Quality::Columns row = f.qualities[face[v]].columns();
        for (std::size_t k = 0; k < kQualityColumns; ++k) q[v][k] = row[k];
    }
    const float ws[4] = {w.w0, w.w1, w.w2, w.w3};
    Quality::Columns r;
    interpolate(ws, q, r.data());
    return Quality::from_columns(r.data());
}

// The same for four located points at once, one per lane.
void finish4(const Interpolated& f, const std::array<std::uint32_t, 4>* const* faces,
             const Weights* const* w, Quality* const* out) {
    using lanes::F4;
    F4 q[4][kQualityColumns];
    for (int v = 0; v < 4; ++v) {
        Quality::Columns p[4];
        for (int k = 0; k < 4; ++k) p[k] = f.qualities[(*faces[k])[v]].columns();
        for (std::size_t c = 0; c < kQualityColumns; ++c) {
            q[v][c] = lanes::set(p[0][c], p[1][c], p[2][c], p[3][c]);
        }
    }
    const F4 ws[4] = {lanes::set(w[0]->w0, w[1]->w0, w[2]->w0, w[3]->w0),
                      lanes::set(w[0]->w1, w[1]->w1, w[2]->w1, w[3]->w1),
                      lanes::set(w[0]->w2, w[1]->w2, w[2]->w2, w[3]->w2),
                      lanes::set(w[0]->w3, w[1]->w3, w[2]->w3, w[3]->w3)};
    F4 r[kQualityColumns];
    interpolate(ws, q, r);
    for (int k = 0; k < 4; ++k) {
        Quality::Columns c;
        for (std::size_t j = 0; j < kQualityColumns; ++j) c[j] = lanes::lane(r[j], k);
        *out[k] = Quality::from_columns(c.data());
    }
}

Quality finish(const DepthProfile& f, const std::array<std::uint32_t, 4>& face, const Weights& w) {
    const auto& a = f.pairs[face[0]];
    const auto& b = f.pairs[face[1]];
    const auto& c = f.pairs[face[2]];
    const auto& d = f.pairs[face[3]];
    const float ws[4] = {w.w0, w.w1, w.w2, w.w3};
    const float depth = weighted(ws, a.depth, b.depth, c.depth, d.depth);
    const std::size_t j = DepthProfile::layer_index(f.tops, depth);
    Quality q = f.layers[j];
    q.alpha = weighted(ws, a.alpha, b.alpha, c.alpha, d.alpha);
    return q;
}

}  // namespace

std::size_t DepthProfile::layer_index(const std::vector<float>& tops, float d) {
    // Counts the tops t <= d; "d below t" is !(d >= t), so a NaN depth
    // compares below every top and selects layer 0.
    std::size_t n = tops.size();
    if (n == 0) return 0;
    std::size_t base = 0;
    while (n > 1) {
        const std::size_t half = n / 2;
        const std::size_t mid = base + half;
        if (d >= tops[mid]) base = mid;
        n -= half;
    }
    return (d >= tops[base]) ? base + 1 : base;
}

namespace {

void prefetch_vertices(const MeshModel& model, const std::array<std::uint32_t, 4>& face) {
    if (const auto* f = std::get_if<Interpolated>(&model.finisher)) {
        for (std::uint32_t v : face) __builtin_prefetch(&f->qualities[v]);
    } else if (const auto* f = std::get_if<DepthProfile>(&model.finisher)) {
        for (std::uint32_t v : face) __builtin_prefetch(&f->pairs[v]);
    }
}

Quality finish_at(const MeshModel& model, std::uint32_t position, Weights w) {
    w.w3 = 1.0f - ((w.w1 + w.w0) + w.w2);
    const std::array<std::uint32_t, 4>& face = model.faces[position];
    return std::visit([&](const auto& f) { return finish(f, face, w); }, model.finisher);
}

}  // namespace

std::optional<Quality> MeshModel::query(const MeshModel& model, float x, float y, float v) {
    float lx = x, ly = y, lz = v;
    if (model.transform) to_local(*model.transform, lx, ly, lz);

    const SimplexRecord* simplices = model.simplices.data();
    Weights w{};
    std::uint32_t found = 0;
    RefStack stack;
    const bool hit = walk_leaves(
        model.nodes.data(), model.root, lx, ly, lz, stack,
        [&](std::uint32_t first, std::uint32_t count) {
            const leaf_test::LeafLanes l = leaf_test::load_leaf(simplices, first, count);
            const std::uint32_t k = leaf_test::first_containing(l, count, lx, ly, lz, w);
            found = first + k;
            return k < count;
        });
    if (!hit) return std::nullopt;
    return finish_at(model, found, w);
}

namespace {

using LocatePacket = unsigned (*)(const MeshModel&, const float*, const float*, const float*,
                                  unsigned, PacketHits&);
const isa::Builds<LocatePacket> kLocatePacket ORVIK_BUILDS(orvik, locate_packet);

}  // namespace

unsigned MeshModel::query_packet(const MeshModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out, PacketBoxes boxes) {
    PacketHits at;
    const isa::Level ceiling =
        boxes == PacketBoxes::Widest ? isa::Level::Avx2 : isa::Level::Baseline;
    const unsigned hits = kLocatePacket.choose(ceiling)(model, x, y, v, live, at);
    Weights* w = at.w;
    const std::uint32_t* found = at.found;
    // The vertex data of every face first, so that the lanes' misses overlap.
    for (unsigned a = hits; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        prefetch_vertices(model, model.faces[found[k]]);
    }
    unsigned rest = hits;
    if (const auto* f = std::get_if<Interpolated>(&model.finisher)) {
        // Four points at a time through the lanes; a short last group
        // repeats its first point.
        while ((rest & (rest - 1)) != 0) {  // two lanes or more
            const std::array<std::uint32_t, 4>* faces[4];
            const Weights* ws[4];
            Quality* dst[4];
            Quality spare;
            const unsigned first = static_cast<unsigned>(std::countr_zero(rest));
            for (int k = 0; k < 4; ++k) {
                const bool real = rest != 0;
                const unsigned lane = real ? static_cast<unsigned>(std::countr_zero(rest)) : first;
                w[lane].w3 = 1.0f - ((w[lane].w1 + w[lane].w0) + w[lane].w2);
                faces[k] = &model.faces[found[lane]];
                ws[k] = &w[lane];
                dst[k] = real ? &out[lane] : &spare;
                rest &= rest - 1;
            }
            finish4(*f, faces, ws, dst);
        }
    }
    for (unsigned a = rest; a != 0; a &= a - 1) {
        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
        out[k] = finish_at(model, found[k], w[k]);
    }
    return hits;
}

std::uint32_t MeshModel::tree_depth(const MeshModel& model) {
    return CompactBvh::depth(model.nodes.data(), model.root);
}

std::string MeshModel::summary(const MeshModel& m) {
    return " with " + std::to_string(m.vertex_count) + " vertices and " +
           std::to_string(m.simplices.size()) +
           " simplices, tree depth = " + std::to_string(tree_depth(m));
}

std::uint64_t MeshModel::size_estimate(const MeshModel& model) {
    std::uint64_t finisher = 0;
    if (const auto* f = std::get_if<Interpolated>(&model.finisher)) {
        finisher = 24 * static_cast<std::uint64_t>(f->qualities.size());
    } else if (const auto* f = std::get_if<DepthProfile>(&model.finisher)) {
        finisher = 8 * static_cast<std::uint64_t>(f->pairs.size()) +
                   4 * static_cast<std::uint64_t>(f->tops.size()) +
                   24 * static_cast<std::uint64_t>(f->layers.size());
    }
    return 328 + 56 * static_cast<std::uint64_t>(model.nodes.size()) +
           48 * static_cast<std::uint64_t>(model.simplices.size()) +
           16 * static_cast<std::uint64_t>(model.faces.size()) + finisher +
           static_cast<std::uint64_t>(model.name.size());
}

}  // namespace orvik
