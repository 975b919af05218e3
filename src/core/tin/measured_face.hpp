// The triangle of the last measurement, with what its next samples need,
// and the tolerance test of samples against it, written once as templates
// over the lane type: for one sample (double) and for a block of four in
// lanes (D2 pairs, or AVX's D4). Private to the TIN unit and free of CGAL;
// the functions are in namespace ORVIK_ISA like the lanes, since the sample
// pass is a kernel (common/isa.hpp).
#pragma once

#include <cmath>
#include <cstdint>

#include "common/lanes.hpp"
#include "tin/adaptive_tin.hpp"
#include "tin/ids.hpp"

namespace orvik::tin {

// A triangle's figures in lanes of type D, each in every lane: the corners
// A and B, the edges C - A, B - A and C - B, the surface's values at A, B
// and C, the determinant, and the largest rounding errors of the edge
// functions against (B, C), (C, A) and (A, B) at any sample.
template <class D>
struct TriangleLanes {
    D xa, ya, xb, yb;
    D cax, cay, bax, bay, cbx, cby;
    D za, zb, zc;
    D det;
    D bound[3];
};

// The triangle of the last measurement: runs of samples mostly fall in one
// triangle.
struct MeasuredFace {
    const void* face = nullptr;  // CGAL's face
    FaceWorst* worst = nullptr;  // in the face's record
    std::uint32_t id = 0;
    std::uint32_t corner = 0;  // vertex id of A
    TriangleLanes<double> t{};
};

inline namespace ORVIK_ISA {

// The point's edge functions against (C, A) and (A, B), the numerators of
// its weights of B and C, and against (B, C).
template <class D>
[[gnu::always_inline]] inline void edge_functions(const TriangleLanes<D>& t, D px, D py, D& nu,
                                                  D& nv, D& e0) {
    const D dx = px - t.xa, dy = py - t.ya;
    nu = dx * t.cay - dy * t.cax;
    nv = dy * t.bax - dx * t.bay;
    e0 = t.cbx * (py - t.yb) - t.cby * (px - t.xb);
}

// Strictly inside, certified by the filter alone; anything else goes to the
// exact location, which would find this same triangle for such a point.
template <class D>
[[gnu::always_inline]] inline auto certainly_inside(const TriangleLanes<D>& t, D nu, D nv, D e0) {
    return lanes::both(lanes::both(lanes::gt(e0, t.bound[0]), lanes::gt(nu, t.bound[1])),
                       lanes::gt(nv, t.bound[2]));
}

// The triangle's linear interpolation at the point of those numerators.
template <class D>
[[gnu::always_inline]] inline D tin_value(const TriangleLanes<D>& t, D nu, D nv) {
    const D u = nu / t.det, v = nv / t.det;
    return (((lanes::splat<D>(1.0) - u) - v) * t.za + u * t.zb) + v * t.zc;
}

// The point lies in the triangle (certainly_inside), with the numerators of
// its weights in nu and nv.
[[gnu::always_inline]] inline bool holds(const MeasuredFace& m, double px, double py, double& nu,
                                         double& nv) {
    double e0;
    edge_functions(m.t, px, py, nu, nv, e0);
    return certainly_inside(m.t, nu, nv, e0);
}

// Samples (px, py, pz) that lie certainly inside the triangle and either
// fit there within the tolerance, have a NaN value, or misfit by clearly
// less than the triangle's worst misfit so far (below `limit`, 0 when there
// is no such shortcut): measuring them would change nothing but their faces.
// The worst only grows, so that stays true whatever the others do.
template <class D>
[[gnu::always_inline]] inline auto settles(const TriangleLanes<D>& t, D px, D py, D pz, D tolerance,
                                           D limit) {
    D nu, nv, e0;
    edge_functions(t, px, py, nu, nv, e0);
    const D diff = lanes::abs(tin_value(t, nu, nv) - pz);
    const auto fits = (lanes::le(diff, tolerance) | lanes::lt(diff, limit)) | lanes::is_nan(pz);
    return certainly_inside(t, nu, nv, e0) & fits;
}

// A misfit below this cannot replace the face's worst so far: fl(worst *
// tolerance) shrunk by 1e-15 stays below the exact product by more than the
// rounding of diff / tolerance can make up. 0 where products lose precision.
inline double below_worst(const FaceWorst& worst, double tolerance) {
    const double reach = worst.err * tolerance;
    return reach > 1e-290 && reach < 1e290 ? reach * (1.0 - 1e-15) : 0.0;
}

// Tests four samples at once against one triangle, in lanes of type D.
template <class D>
class BlockTest {
  public:
    // Of samples p[0..3], those (bit l for p[l]) that settle in triangle m.
    unsigned settled(const MeasuredFace& m, const TinSample* p, double tolerance, double limit) {
        constexpr int kWidth = lanes::width<D>;
        if (&m != of_ || m.face != face_) set(m);
        const D tol = lanes::splat<D>(tolerance), below = lanes::splat<D>(limit);
        unsigned bits = 0;
        for (int g = 0; g < 4 / kWidth; ++g) {
            D px, py, pz;
            lanes::load_xyz(&p[kWidth * g].x, px, py, pz);
            bits |= lanes::bits(settles(t_, px, py, pz, tol, below)) << (kWidth * g);
        }
        return bits;
    }

  private:
    // The triangle's figures in every lane, for the record last tested.
    void set(const MeasuredFace& m) {
        using lanes::splat;
        of_ = &m;
        face_ = m.face;
        const TriangleLanes<double>& t = m.t;
        t_ = {splat<D>(t.xa),
              splat<D>(t.ya),
              splat<D>(t.xb),
              splat<D>(t.yb),
              splat<D>(t.cax),
              splat<D>(t.cay),
              splat<D>(t.bax),
              splat<D>(t.bay),
              splat<D>(t.cbx),
              splat<D>(t.cby),
              splat<D>(t.za),
              splat<D>(t.zb),
              splat<D>(t.zc),
              splat<D>(t.det),
              {splat<D>(t.bound[0]), splat<D>(t.bound[1]), splat<D>(t.bound[2])}};
    }

    const MeasuredFace* of_ = nullptr;
    const void* face_ = nullptr;
    // Set before the first test; zeros until then keep the compiler from
    // doubting it.
    TriangleLanes<D> t_{};
};

}  // namespace ORVIK_ISA
}  // namespace orvik::tin
