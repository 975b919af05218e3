#include "model/mesh_model.hpp"

#include <bit>

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

inline float weighted(const Weights& w, float a, float b, float c, float d) {
    return (((0.0f + w.w0 * a) + w.w1 * b) + w.w2 * c) + w.w3 * d;
}

// Quality factors interpolate harmonically: the weighted mean of 1/Q, inverted.
inline float weighted_harmonic(const Weights& w, float a, float b, float c, float d) {
    return 1.0f / weighted(w, 1.0f / a, 1.0f / b, 1.0f / c, 1.0f / d);
}

Quality finish(const Interpolated& f, const std::array<std::uint32_t, 4>& face, const Weights& w) {
    const Quality& a = f.qualities[face[0]];
    const Quality& b = f.qualities[face[1]];
    const Quality& c = f.qualities[face[2]];
    const Quality& d = f.qualities[face[3]];
    Quality q;
    q.rho = weighted(w, a.rho, b.rho, c.rho, d.rho);
    q.vp = weighted(w, a.vp, b.vp, c.vp, d.vp);
    q.vs = weighted(w, a.vs, b.vs, c.vs, d.vs);
    q.qp = weighted_harmonic(w, a.qp, b.qp, c.qp, d.qp);
    q.qs = weighted_harmonic(w, a.qs, b.qs, c.qs, d.qs);
    q.alpha = weighted(w, a.alpha, b.alpha, c.alpha, d.alpha);
    return q;
}

Quality finish(const DepthProfile& f, const std::array<std::uint32_t, 4>& face, const Weights& w) {
    const auto& a = f.pairs[face[0]];
    const auto& b = f.pairs[face[1]];
    const auto& c = f.pairs[face[2]];
    const auto& d = f.pairs[face[3]];
    const float depth = weighted(w, a.first, b.first, c.first, d.first);
    const std::size_t j = DepthProfile::layer_index(f.tops, depth);
    Quality q = f.layers[j];
    q.alpha = weighted(w, a.second, b.second, c.second, d.second);
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
    const auto found = traverse(model.nodes.data(), model.root, lx, ly, lz, [&](std::uint32_t i) {
        const SimplexRecord& s = simplices[i];
        const float dx = lx - s.origin[0];
        const float dy = ly - s.origin[1];
        const float dz = lz - s.origin[2];
        const float* m = s.inverse;  // column by column
        const float w0 = (m[0] * dx + m[3] * dy) + m[6] * dz;
        const float w1 = (m[1] * dx + m[4] * dy) + m[7] * dz;
        const float w2 = (m[2] * dx + m[5] * dy) + m[8] * dz;
        if (!(w2 >= kLowWeight)) return false;
        if (!(w0 >= kLowWeight)) return false;
        if (!(w1 >= kLowWeight)) return false;
        if (!((w1 + w0) + w2 <= kHighSum)) return false;
        w.w0 = w0;
        w.w1 = w1;
        w.w2 = w2;
        return true;
    });
    if (!found) return std::nullopt;
    w.w3 = 1.0f - ((w.w1 + w.w0) + w.w2);
    const std::array<std::uint32_t, 4>& face = model.faces[*found];
    return std::visit([&](const auto& f) { return finish(f, face, w); }, model.finisher);
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
