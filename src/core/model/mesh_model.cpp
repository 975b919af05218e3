#include "model/mesh_model.hpp"

#include <algorithm>
#include <bit>
#include <utility>

#include "common/lanes.hpp"

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#endif

namespace orvik {
namespace {

// Barycentric tolerance: the float32 values nearest -0.0001 and 1.0001.
constexpr float kLowWeight = -0.0001f;
constexpr float kHighSum = 1.0001f;
static_assert(std::bit_cast<std::uint32_t>(kLowWeight) == 0xB8D1B717u);
static_assert(std::bit_cast<std::uint32_t>(kHighSum) == 0x3F800347u);

struct Weights {
    float w0, w1, w2, w3;
};

// The finisher's sums, written once for one value (float) or for four lanes
// of values (lanes::F4); each lane computes what the scalar sum computes.
inline float constant(float v, float) {
    return v;
}
inline lanes::F4 constant(float v, lanes::F4) {
    return lanes::splat(v);
}

template <class T>
inline T weighted(const T* w, T a, T b, T c, T d) {
    return (((constant(0.0f, a) + w[0] * a) + w[1] * b) + w[2] * c) + w[3] * d;
}

// Quality factors interpolate harmonically: the weighted mean of 1/Q, inverted.
template <class T>
inline T weighted_harmonic(const T* w, T a, T b, T c, T d) {
    const T one = constant(1.0f, a);
    return one / weighted(w, one / a, one / b, one / c, one / d);
}

// The Interpolated finisher: q[v][k] is column k of the quality at vertex v.
template <class T>
inline void interpolate(const T* w, const T (*q)[6], T* out) {
    for (int k : {0, 1, 2, 5}) out[k] = weighted(w, q[0][k], q[1][k], q[2][k], q[3][k]);
    for (int k : {3, 4}) out[k] = weighted_harmonic(w, q[0][k], q[1][k], q[2][k], q[3][k]);
}

Quality finish(const Interpolated& f, const std::array<std::uint32_t, 4>& face, const Weights& w) {
    float q[4][6];
    for (int v = 0; v < 4; ++v) {
        const Quality& a = f.qualities[face[v]];
        const float row[6] = {a.rho, a.vp, a.vs, a.qp, a.qs, a.alpha};
        for (int k = 0; k < 6; ++k) q[v][k] = row[k];
    }
    const float ws[4] = {w.w0, w.w1, w.w2, w.w3};
    float r[6];
    interpolate(ws, q, r);
    return Quality{r[0], r[1], r[2], r[3], r[4], r[5]};
}

// The same for four located points at once, one per lane.
void finish4(const Interpolated& f, const std::array<std::uint32_t, 4>* const* faces,
             const Weights* const* w, Quality* const* out) {
    using lanes::F4;
    F4 q[4][6];
    for (int v = 0; v < 4; ++v) {
        const Quality* p[4];
        for (int k = 0; k < 4; ++k) p[k] = &f.qualities[(*faces[k])[v]];
        q[v][0] = lanes::set(p[0]->rho, p[1]->rho, p[2]->rho, p[3]->rho);
        q[v][1] = lanes::set(p[0]->vp, p[1]->vp, p[2]->vp, p[3]->vp);
        q[v][2] = lanes::set(p[0]->vs, p[1]->vs, p[2]->vs, p[3]->vs);
        q[v][3] = lanes::set(p[0]->qp, p[1]->qp, p[2]->qp, p[3]->qp);
        q[v][4] = lanes::set(p[0]->qs, p[1]->qs, p[2]->qs, p[3]->qs);
        q[v][5] = lanes::set(p[0]->alpha, p[1]->alpha, p[2]->alpha, p[3]->alpha);
    }
    const F4 ws[4] = {lanes::set(w[0]->w0, w[1]->w0, w[2]->w0, w[3]->w0),
                      lanes::set(w[0]->w1, w[1]->w1, w[2]->w1, w[3]->w1),
                      lanes::set(w[0]->w2, w[1]->w2, w[2]->w2, w[3]->w2),
                      lanes::set(w[0]->w3, w[1]->w3, w[2]->w3, w[3]->w3)};
    F4 r[6];
    interpolate(ws, q, r);
    for (int k = 0; k < 4; ++k) {
        *out[k] = Quality{lanes::lane(r[0], k), lanes::lane(r[1], k), lanes::lane(r[2], k),
                          lanes::lane(r[3], k), lanes::lane(r[4], k), lanes::lane(r[5], k)};
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

// The simplices of one leaf, one per lane, field by field. A leaf of fewer
// than four repeats its last simplex in the spare lanes, whose results the
// caller drops, so no record past the leaf is read.
struct LeafLanes {
    lanes::F4 ox, oy, oz;
    lanes::F4 i00, i10, i20, i01, i11, i21, i02, i12, i22;
};

[[gnu::always_inline]] inline LeafLanes load_leaf(const SimplexRecord* simplices,
                                                  std::uint32_t first, std::uint32_t count) {
    const std::uint32_t last = first + count - 1;
    const float* a = reinterpret_cast<const float*>(simplices + first);
    const float* b = reinterpret_cast<const float*>(simplices + std::min(first + 1, last));
    const float* c = reinterpret_cast<const float*>(simplices + std::min(first + 2, last));
    const float* d = reinterpret_cast<const float*>(simplices + last);
    // A record is 12 floats: origin xyz and the inverse column by column,
    // read as three quads (ox oy oz i00), (i10 i20 i01 i11), (i21 i02 i12 i22).
    LeafLanes l{lanes::load(a),     lanes::load(b),     lanes::load(c),     lanes::load(d),
                lanes::load(a + 4), lanes::load(b + 4), lanes::load(c + 4), lanes::load(d + 4),
                lanes::load(a + 8), lanes::load(b + 8), lanes::load(c + 8), lanes::load(d + 8)};
    lanes::transpose(l.ox, l.oy, l.oz, l.i00);
    lanes::transpose(l.i10, l.i20, l.i01, l.i11);
    lanes::transpose(l.i21, l.i02, l.i12, l.i22);
    return l;
}

// The containment test of the point in every simplex of the leaf at once:
// the weights and comparisons of the scalar test, lane by lane. Returns the
// first simplex that contains the point (its offset in the leaf) with its
// weights, or `count` when none does.
[[gnu::always_inline]] inline std::uint32_t first_containing(const LeafLanes& l,
                                                             std::uint32_t count, float x, float y,
                                                             float z, Weights& w) {
    using lanes::F4;
    const F4 dx = lanes::splat(x) - l.ox;
    const F4 dy = lanes::splat(y) - l.oy;
    const F4 dz = lanes::splat(z) - l.oz;
    const F4 w0 = (l.i00 * dx + l.i01 * dy) + l.i02 * dz;
    const F4 w1 = (l.i10 * dx + l.i11 * dy) + l.i12 * dz;
    const F4 w2 = (l.i20 * dx + l.i21 * dy) + l.i22 * dz;
    const F4 low = lanes::splat(kLowWeight);
    const F4 inside = lanes::ge(w2, low) & lanes::ge(w0, low) & lanes::ge(w1, low) &
                      lanes::le((w1 + w0) + w2, lanes::splat(kHighSum));
    const unsigned hits = lanes::bits(inside) & ((1u << count) - 1u);
    if (hits == 0) return count;
    const unsigned k = static_cast<unsigned>(std::countr_zero(hits));
    w.w0 = lanes::lane(w0, k);
    w.w1 = lanes::lane(w1, k);
    w.w2 = lanes::lane(w2, k);
    return k;
}

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
    if (model.transform) {
        const std::array<float, 16>& t = *model.transform;
        lx = ((x * t[0] + y * t[4]) + v * t[8]) + t[12];
        ly = ((x * t[1] + y * t[5]) + v * t[9]) + t[13];
        lz = ((x * t[2] + y * t[6]) + v * t[10]) + t[14];
    }

    const SimplexRecord* simplices = model.simplices.data();
    Weights w{};
    std::uint32_t found = 0;
    RefStack stack;
    const bool hit = walk_leaves(model.nodes.data(), model.root, lx, ly, lz, stack,
                                 [&](std::uint32_t first, std::uint32_t count) {
                                     const LeafLanes l = load_leaf(simplices, first, count);
                                     const std::uint32_t k =
                                         first_containing(l, count, lx, ly, lz, w);
                                     found = first + k;
                                     return k < count;
                                 });
    if (!hit) return std::nullopt;
    return finish_at(model, found, w);
}

namespace {

constexpr int kLanes = MeshModel::kPacketLanes;
constexpr int kGroups = kLanes / 4;

// The located points of a packet: the simplex position and weights of each
// lane that some simplex contains.
struct Located {
    Weights w[kLanes];
    std::uint32_t found[kLanes];
};

// The walk of a packet and the leaf tests; `Points` decides how the node
// boxes are tested and `walk` is walk_leaves_packet as built for it.
template <class Points, class Walk>
[[gnu::always_inline]] inline unsigned locate_packet(const MeshModel& model, const Points& points,
                                                     const float* xs, const float* ys,
                                                     const float* zs, unsigned live, Located& at,
                                                     Walk&& walk) {
    const SimplexRecord* simplices = model.simplices.data();
    PacketStack stack;
    return walk(model.nodes.data(), model.root, points, live, stack,
                [&](std::uint32_t first, std::uint32_t count, unsigned active) {
                    // One transposed leaf serves every point that reaches it.
                    const LeafLanes l = load_leaf(simplices, first, count);
                    unsigned done = 0;
                    for (unsigned a = active; a != 0; a &= a - 1) {
                        const unsigned k = static_cast<unsigned>(std::countr_zero(a));
                        const std::uint32_t i =
                            first_containing(l, count, xs[k], ys[k], zs[k], at.w[k]);
                        if (i < count) {
                            at.found[k] = first + i;
                            done |= 1u << k;
                            // The face is read once every lane is done.
                            __builtin_prefetch(&model.faces[first + i]);
                        }
                    }
                    return done;
                });
}

unsigned locate_packet_baseline(const MeshModel& model, const PointLanes<kGroups>& p,
                                const float* xs, const float* ys, const float* zs, unsigned live,
                                Located& at) {
    return locate_packet(model, p, xs, ys, zs, live, at, [](auto&&... args) {
        return orvik::walk_leaves_packet(std::forward<decltype(args)>(args)...);
    });
}

}  // namespace

#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
// The packet walk once more, built for AVX: every function defined in this
// region is compiled with AVX enabled (the inline helpers above are inlined
// into them), and all of it has internal linkage, so no AVX code can stand
// in for baseline code elsewhere. It runs only where the processor has AVX.
// (GCC takes a target region; clang, which builds the fuzz harnesses, takes
// the same target as an attribute of every function in the region.)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx")
#endif
namespace avx_packet {
namespace {

#include "compact_bvh/packet_walk.inc"

// The points of a packet eight to a register: the comparisons of
// detail::box_lanes, lane for lane, on twice the lanes at once.
struct PointLanesAvx {
    __m256 x[kGroups / 2], y[kGroups / 2], z[kGroups / 2];

    explicit PointLanesAvx(const PointLanes<kGroups>& p) {
        for (int g = 0; g < kGroups / 2; ++g) {
            x[g] = _mm256_set_m128(p.x[2 * g + 1].v, p.x[2 * g].v);
            y[g] = _mm256_set_m128(p.y[2 * g + 1].v, p.y[2 * g].v);
            z[g] = _mm256_set_m128(p.z[2 * g + 1].v, p.z[2 * g].v);
        }
    }

    unsigned in_box(const CompactNode& n, int which, unsigned active) const {
        const float* box = reinterpret_cast<const float*>(&n) + 7 * which;
        const __m256 min_x = _mm256_broadcast_ss(box), min_y = _mm256_broadcast_ss(box + 1);
        const __m256 min_z = _mm256_broadcast_ss(box + 2), max_x = _mm256_broadcast_ss(box + 3);
        const __m256 max_y = _mm256_broadcast_ss(box + 4), max_z = _mm256_broadcast_ss(box + 5);
        unsigned in = 0;
        for (int g = 0; g < kGroups / 2; ++g) {
            const __m256 a = _mm256_and_ps(_mm256_cmp_ps(min_x, x[g], _CMP_LE_OQ),
                                           _mm256_cmp_ps(min_y, y[g], _CMP_LE_OQ));
            const __m256 b = _mm256_and_ps(_mm256_cmp_ps(min_z, z[g], _CMP_LE_OQ),
                                           _mm256_cmp_ps(x[g], max_x, _CMP_LE_OQ));
            const __m256 c = _mm256_and_ps(_mm256_cmp_ps(y[g], max_y, _CMP_LE_OQ),
                                           _mm256_cmp_ps(z[g], max_z, _CMP_LE_OQ));
            const __m256 all = _mm256_and_ps(_mm256_and_ps(a, b), c);
            in |= static_cast<unsigned>(_mm256_movemask_ps(all)) << (8 * g);
        }
        return in & active;
    }
};

unsigned locate(const MeshModel& model, const PointLanes<kGroups>& p, const float* xs,
                const float* ys, const float* zs, unsigned live, Located& at) {
    const PointLanesAvx points(p);
    return locate_packet(model, points, xs, ys, zs, live, at, [](auto&&... args) {
        return avx_packet::walk_leaves_packet(std::forward<decltype(args)>(args)...);
    });
}

}  // namespace
}  // namespace avx_packet
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace {
bool cpu_has_avx() {
    static const bool has = __builtin_cpu_supports("avx");
    return has;
}
}  // namespace
#endif

unsigned MeshModel::query_packet(const MeshModel& model, const float* x, const float* y,
                                 const float* v, unsigned live, Quality* out, PacketBoxes boxes) {
    using lanes::F4;
    PointLanes<kGroups> p;
    alignas(16) float xs[kLanes], ys[kLanes], zs[kLanes];
    for (int g = 0; g < kGroups; ++g) {
        F4 lx = lanes::load(x + 4 * g), ly = lanes::load(y + 4 * g), lz = lanes::load(v + 4 * g);
        if (model.transform) {
            // The local point of `query`, lane by lane.
            const std::array<float, 16>& t = *model.transform;
            const F4 px = lx, py = ly, pv = lz;
            using lanes::splat;
            lx = ((px * splat(t[0]) + py * splat(t[4])) + pv * splat(t[8])) + splat(t[12]);
            ly = ((px * splat(t[1]) + py * splat(t[5])) + pv * splat(t[9])) + splat(t[13]);
            lz = ((px * splat(t[2]) + py * splat(t[6])) + pv * splat(t[10])) + splat(t[14]);
        }
        p.x[g] = lx;
        p.y[g] = ly;
        p.z[g] = lz;
        lanes::store(xs + 4 * g, lx);
        lanes::store(ys + 4 * g, ly);
        lanes::store(zs + 4 * g, lz);
    }

    Located at;
#if defined(__SSE2__) && (defined(__x86_64__) || defined(__i386__))
    const unsigned hits = boxes == PacketBoxes::Widest && cpu_has_avx()
                              ? avx_packet::locate(model, p, xs, ys, zs, live, at)
                              : locate_packet_baseline(model, p, xs, ys, zs, live, at);
#else
    (void)boxes;
    const unsigned hits = locate_packet_baseline(model, p, xs, ys, zs, live, at);
#endif
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
