// The triangle of the last measurement, with what its next samples need, and
// the test of a block of samples against it. Private to the TIN unit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the processor has AVX2, the sample passes run a copy of their code
// built for it, which tests blocks in four lanes at once.
#if defined(__x86_64__) && defined(__GNUC__)
#define ORVIK_TIN_AVX2 1
#include <immintrin.h>
#endif

#include "tin/adaptive_tin.hpp"
#include "tin/chunked_vector.hpp"
#include "tin/records.hpp"

namespace orvik::tin {

// Shewchuk's first-stage bound for the orientation form, (3 + 16 eps) eps
// rounded up, for products of at most `m`; slack covers the rounding of `m`
// itself. Near underflow relative bounds fail: nothing is certified.
inline double edge_bound(double m) {
    if (!(m >= 1e-250)) return std::numeric_limits<double>::infinity();
    return 3.3306690738754738e-16 * (m * (1.0 + 1e-9));
}

// The triangle of the last measurement, with everything its next sample
// needs: runs of samples mostly fall in one triangle.
struct MeasuredFace {
    FaceHandle face;
    FaceRecord* record = nullptr;
    std::uint32_t id = 0;
    std::uint32_t corner = 0;  // vertex id of A
    double xa = 0.0, ya = 0.0, xb = 0.0, yb = 0.0, xc = 0.0, yc = 0.0;
    double cax = 0.0, cay = 0.0, bax = 0.0, bay = 0.0, cbx = 0.0, cby = 0.0;
    double za = 0.0, zb = 0.0, zc = 0.0;
    double det = 0.0;
    // Largest rounding errors of the edge functions against (B, C), (C, A)
    // and (A, B) at any sample.
    double bound[3] = {0.0, 0.0, 0.0};

    // `extent`: the width and height of a box holding every sample and vertex.
    void load(FaceHandle f, ChunkedVector<FaceRecord>& faces, const std::vector<double>& values,
              const double extent[2]) {
        const VertexHandle va = f->vertex(0), vb = f->vertex(1), vc = f->vertex(2);
        face = f;
        id = f->info().id;
        record = &faces[id];
        // Misfits and blocks read the record; the next samples most likely
        // lie in a neighbour. Both lie elsewhere in memory.
        __builtin_prefetch(record);
        for (int k = 0; k < 3; ++k) __builtin_prefetch(&*f->neighbor(k));
        corner = va->info().id;
        xa = va->point().x();
        ya = va->point().y();
        xb = vb->point().x();
        yb = vb->point().y();
        xc = vc->point().x();
        yc = vc->point().y();
        za = values[corner];
        zb = values[vb->info().id];
        zc = values[vc->info().id];
        cax = xc - xa;
        cay = yc - ya;
        bax = xb - xa;
        bay = yb - ya;
        cbx = xc - xb;
        cby = yc - yb;
        det = bax * cay - bay * cax;
        // Over that box, |x - any corner's x| <= w and |y - any corner's y| <= h.
        const double w = extent[0], h = extent[1];
        bound[0] = edge_bound(h * std::fabs(cbx) + w * std::fabs(cby));
        bound[1] = edge_bound(w * std::fabs(cay) + h * std::fabs(cax));
        bound[2] = edge_bound(h * std::fabs(bax) + w * std::fabs(bay));
    }

    // The numerators of the point's weights of B and C: its edge functions
    // against (C, A) and (A, B).
    void numerators(double px, double py, double& nu, double& nv) const {
        const double dx = px - xa, dy = py - ya;
        nu = dx * cay - dy * cax;
        nv = dy * bax - dx * bay;
    }

    // The point's edge function against (B, C).
    double edge0(double px, double py) const { return cbx * (py - yb) - cby * (px - xb); }

    // Strictly inside, certified by the filter alone; anything else goes to
    // the exact location, which would find this same triangle for such a
    // point. Gives the numerators on the way.
    bool holds(double px, double py, double& nu, double& nv) const {
        numerators(px, py, nu, nv);
        const double e0 = edge0(px, py);
        return (e0 > bound[0]) & (nu > bound[1]) & (nv > bound[2]);
    }
};

// A misfit below this cannot replace the face's worst so far: fl(worst *
// tolerance) shrunk by 1e-15 stays below the exact product by more than the
// rounding of diff / tolerance can make up. 0 where products lose precision.
inline double below_worst(const FaceRecord& rec, double tolerance) {
    const double reach = rec.worst.err * tolerance;
    return reach > 1e-290 && reach < 1e290 ? reach * (1.0 - 1e-15) : 0.0;
}

// Tests four samples at once against one triangle, computed as the one by
// one measurement computes them.
class BlockTest {
  public:
    // Of samples p[0..3], those (bit l for p[l]) that lie strictly inside
    // triangle m, certified by its filter, and either fit there within the
    // tolerance, have a NaN value, or misfit by clearly less than the
    // triangle's worst misfit so far (below `limit`, 0 when there is no such
    // shortcut): measuring them would change nothing but their faces. The
    // worst only grows, so that stays true whatever the others do.
    unsigned settled(const MeasuredFace& m, const TinSample* p, double tolerance, double limit) {
#if defined(__SSE2__)
        if (&m != of_ || m.face != face_) set(m);
        const __m128d one = _mm_set1_pd(1.0), magnitude = _mm_set1_pd(-0.0);
        const __m128d tol = _mm_set1_pd(tolerance), below = _mm_set1_pd(limit);
        unsigned bits = 0;
        for (int pair = 0; pair < 2; ++pair) {
            // Two samples (x, y, z) side by side: x0 y0 | z0 x1 | y1 z1.
            const double* q = &p[2 * pair].x;
            const __m128d a = _mm_loadu_pd(q), b = _mm_loadu_pd(q + 2), c = _mm_loadu_pd(q + 4);
            const __m128d px = _mm_shuffle_pd(a, b, 2), py = _mm_shuffle_pd(a, c, 1);
            const __m128d pz = _mm_shuffle_pd(b, c, 2);
            const __m128d dx = _mm_sub_pd(px, xa_), dy = _mm_sub_pd(py, ya_);
            const __m128d nu = _mm_sub_pd(_mm_mul_pd(dx, cay_), _mm_mul_pd(dy, cax_));
            const __m128d nv = _mm_sub_pd(_mm_mul_pd(dy, bax_), _mm_mul_pd(dx, bay_));
            const __m128d e0 = _mm_sub_pd(_mm_mul_pd(cbx_, _mm_sub_pd(py, yb_)),
                                          _mm_mul_pd(cby_, _mm_sub_pd(px, xb_)));
            const __m128d inside =
                _mm_and_pd(_mm_and_pd(_mm_cmpgt_pd(e0, bound0_), _mm_cmpgt_pd(nu, bound1_)),
                           _mm_cmpgt_pd(nv, bound2_));
            const __m128d u = _mm_div_pd(nu, det_), v = _mm_div_pd(nv, det_);
            const __m128d z_tin = _mm_add_pd(
                _mm_add_pd(_mm_mul_pd(_mm_sub_pd(_mm_sub_pd(one, u), v), za_), _mm_mul_pd(u, zb_)),
                _mm_mul_pd(v, zc_));
            const __m128d diff = _mm_andnot_pd(magnitude, _mm_sub_pd(z_tin, pz));
            const __m128d fits =
                _mm_or_pd(_mm_or_pd(_mm_cmple_pd(diff, tol), _mm_cmplt_pd(diff, below)),
                          _mm_cmpunord_pd(pz, pz));
            bits |= static_cast<unsigned>(_mm_movemask_pd(_mm_and_pd(inside, fits))) << (2 * pair);
        }
        return bits;
#else
        unsigned bits = 0;
        for (int l = 0; l < 4; ++l) {
            double nu, nv;
            if (!m.holds(p[l].x, p[l].y, nu, nv)) continue;
            const double u = nu / m.det, v = nv / m.det;
            const double z_tin = (((1.0 - u) - v) * m.za + u * m.zb) + v * m.zc;
            const double diff = std::fabs(z_tin - p[l].z);
            if (diff <= tolerance || diff < limit || std::isnan(p[l].z)) bits |= 1u << l;
        }
        return bits;
#endif
    }

  private:
#if defined(__SSE2__)
    // The triangle's figures in both lanes, for the record last tested.
    void set(const MeasuredFace& m) {
        of_ = &m;
        face_ = m.face;
        xa_ = _mm_set1_pd(m.xa);
        ya_ = _mm_set1_pd(m.ya);
        xb_ = _mm_set1_pd(m.xb);
        yb_ = _mm_set1_pd(m.yb);
        cax_ = _mm_set1_pd(m.cax);
        cay_ = _mm_set1_pd(m.cay);
        bax_ = _mm_set1_pd(m.bax);
        bay_ = _mm_set1_pd(m.bay);
        cbx_ = _mm_set1_pd(m.cbx);
        cby_ = _mm_set1_pd(m.cby);
        bound0_ = _mm_set1_pd(m.bound[0]);
        bound1_ = _mm_set1_pd(m.bound[1]);
        bound2_ = _mm_set1_pd(m.bound[2]);
        det_ = _mm_set1_pd(m.det);
        za_ = _mm_set1_pd(m.za);
        zb_ = _mm_set1_pd(m.zb);
        zc_ = _mm_set1_pd(m.zc);
    }

    const MeasuredFace* of_ = nullptr;
    FaceHandle face_;
    // Set before the first test; zeros until then keep the compiler from
    // doubting it.
    __m128d xa_{}, ya_{}, xb_{}, yb_{}, cax_{}, cay_{}, bax_{}, bay_{}, cbx_{}, cby_{};
    __m128d bound0_{}, bound1_{}, bound2_{}, det_{}, za_{}, zb_{}, zc_{};
#endif
};

#if defined(ORVIK_TIN_AVX2)
// BlockTest in four AVX lanes, for code built for AVX2: the same operations
// on the same values, so the same bits.
class BlockTestAvx {
  public:
    // Inlined into the AVX2 pass once the pass's template is; forcing it
    // would fail, as the template alone is built for the baseline.
    [[gnu::target("avx2")]] inline unsigned settled(const MeasuredFace& m, const TinSample* p,
                                                    double tolerance, double limit) {
        if (&m != of_ || m.face != face_) set(m);
        const __m256d one = _mm256_set1_pd(1.0), magnitude = _mm256_set1_pd(-0.0);
        const __m256d tol = _mm256_set1_pd(tolerance), below = _mm256_set1_pd(limit);
        // Four samples (x, y, z) side by side: x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3.
        const double* q = &p[0].x;
        const __m256d a = _mm256_loadu_pd(q), b = _mm256_loadu_pd(q + 4);
        const __m256d c = _mm256_loadu_pd(q + 8);
        const __m256d xy = _mm256_blend_pd(a, b, 0xC);          // x0 y0 x2 y2
        const __m256d zx = _mm256_permute2f128_pd(a, c, 0x21);  // z0 x1 z2 x3
        const __m256d yz = _mm256_blend_pd(b, c, 0xC);          // y1 z1 y3 z3
        const __m256d px = _mm256_shuffle_pd(xy, zx, 0xA);
        const __m256d py = _mm256_shuffle_pd(xy, yz, 0x5);
        const __m256d pz = _mm256_shuffle_pd(zx, yz, 0xA);
        const __m256d dx = _mm256_sub_pd(px, xa_), dy = _mm256_sub_pd(py, ya_);
        const __m256d nu = _mm256_sub_pd(_mm256_mul_pd(dx, cay_), _mm256_mul_pd(dy, cax_));
        const __m256d nv = _mm256_sub_pd(_mm256_mul_pd(dy, bax_), _mm256_mul_pd(dx, bay_));
        const __m256d e0 = _mm256_sub_pd(_mm256_mul_pd(cbx_, _mm256_sub_pd(py, yb_)),
                                         _mm256_mul_pd(cby_, _mm256_sub_pd(px, xb_)));
        const __m256d inside = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(e0, bound0_, _CMP_GT_OQ),
                                                           _mm256_cmp_pd(nu, bound1_, _CMP_GT_OQ)),
                                             _mm256_cmp_pd(nv, bound2_, _CMP_GT_OQ));
        const __m256d u = _mm256_div_pd(nu, det_), v = _mm256_div_pd(nv, det_);
        const __m256d z_tin =
            _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(_mm256_sub_pd(one, u), v), za_),
                                        _mm256_mul_pd(u, zb_)),
                          _mm256_mul_pd(v, zc_));
        const __m256d diff = _mm256_andnot_pd(magnitude, _mm256_sub_pd(z_tin, pz));
        const __m256d fits = _mm256_or_pd(_mm256_or_pd(_mm256_cmp_pd(diff, tol, _CMP_LE_OQ),
                                                       _mm256_cmp_pd(diff, below, _CMP_LT_OQ)),
                                          _mm256_cmp_pd(pz, pz, _CMP_UNORD_Q));
        return static_cast<unsigned>(_mm256_movemask_pd(_mm256_and_pd(inside, fits)));
    }

  private:
    [[gnu::target("avx2"), gnu::always_inline]] inline void set(const MeasuredFace& m) {
        of_ = &m;
        face_ = m.face;
        xa_ = _mm256_set1_pd(m.xa);
        ya_ = _mm256_set1_pd(m.ya);
        xb_ = _mm256_set1_pd(m.xb);
        yb_ = _mm256_set1_pd(m.yb);
        cax_ = _mm256_set1_pd(m.cax);
        cay_ = _mm256_set1_pd(m.cay);
        bax_ = _mm256_set1_pd(m.bax);
        bay_ = _mm256_set1_pd(m.bay);
        cbx_ = _mm256_set1_pd(m.cbx);
        cby_ = _mm256_set1_pd(m.cby);
        bound0_ = _mm256_set1_pd(m.bound[0]);
        bound1_ = _mm256_set1_pd(m.bound[1]);
        bound2_ = _mm256_set1_pd(m.bound[2]);
        det_ = _mm256_set1_pd(m.det);
        za_ = _mm256_set1_pd(m.za);
        zb_ = _mm256_set1_pd(m.zb);
        zc_ = _mm256_set1_pd(m.zc);
    }

    const MeasuredFace* of_ = nullptr;
    FaceHandle face_;
    // Zeros until the first set(), as in BlockTest.
    __m256d xa_{}, ya_{}, xb_{}, yb_{}, cax_{}, cay_{}, bax_{}, bay_{}, cbx_{}, cby_{};
    __m256d bound0_{}, bound1_{}, bound2_{}, det_{}, za_{}, zb_{}, zc_{};
};
#endif

}  // namespace orvik::tin
