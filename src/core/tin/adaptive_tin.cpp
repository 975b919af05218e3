// CGAL stays in this translation unit: the header exposes only plain records.
#include "tin/adaptive_tin.hpp"

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Constrained_triangulation_face_base_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// Where the processor has AVX2, the sample passes run a copy of their code
// built for it, which tests blocks in four lanes at once.
#if defined(__x86_64__) && defined(__GNUC__)
#define ORVIK_TIN_AVX2 1
#include <immintrin.h>
#endif

#include "tin/chunked_vector.hpp"
#include "tin/refine_options.hpp"

namespace orvik {
namespace {

// Vertex and face ids are 32-bit; the largest values are markers.
constexpr std::uint32_t kNone = 0xFFFFFFFFu;
constexpr std::uint32_t kIdLimit = kNone - 1;

// The coordinates the triangulation accepts: NaN never, 0 always, any other
// value when its magnitude lies in [kMinCoordinate, kMaxCoordinate], that is
// [2^-142, 2^201]. That is the range in which exact orientation and in-circle
// predicates computed with double-precision expansions neither overflow
// (above 2^201) nor underflow (below 2^-142): the acceptance rule of the
// robust triangulators built on them. CGAL's exact kernel would cope with
// more, but the rule is part of the result: a boundary coordinate outside it
// makes the boundary invalid, and so does a candidate point that falls
// outside it during the refinement (acceptable() below).
constexpr double kMaxCoordinate = 3.2138760885179806e+60;  // 2^201
constexpr double kMinCoordinate = 1.793662034335766e-43;   // 2^-142
static_assert(kMaxCoordinate == 0x1p201 && kMinCoordinate == 0x1p-142);

// Carried by CGAL inside each face. CGAL reuses a face in place when it
// flips it, so an id names a slot, not a fixed triangle; the refiner's
// per-face records are indexed by it.
struct FaceInfo {
    std::uint32_t id = kNone;
    bool odd = false;  // crossed an odd number of constraints from the hull
    bool visited = false;
    bool touched = false;  // changed by CGAL since the last refresh
    bool fresh = false;    // new since the last refresh, waiting for its id
};

// CGAL default-constructs the info of every vertex it creates: a new vertex
// is recognised by its unassigned id.
struct VertexInfo {
    std::uint32_t id = kNone;
};

// The faces that CGAL changed on this thread since the last refresh, while
// a refinement runs.
thread_local std::vector<void*>* t_touched_faces = nullptr;

// CGAL changes the corners and the constraint flags of an existing face only
// through these setters (its own constructors aside); noting the faces they
// touch lets a refresh look at those and at the new faces instead of at all.
template <class Gt, class Fb>
class alignas(64) TrackedFaceBase : public Fb {
  public:
    using Vertex_handle = typename Fb::Vertex_handle;

    template <class Tds2>
    struct Rebind_TDS {
        using Fb2 = typename Fb::template Rebind_TDS<Tds2>::Other;
        using Other = TrackedFaceBase<Gt, Fb2>;
    };

    using Fb::Fb;

    void set_vertex(int i, Vertex_handle v) {
        touch();
        Fb::set_vertex(i, v);
    }
    void set_vertices() {
        touch();
        Fb::set_vertices();
    }
    void set_vertices(Vertex_handle a, Vertex_handle b, Vertex_handle c) {
        touch();
        Fb::set_vertices(a, b, c);
    }
    void set_constraint(int i, bool b) {
        touch();
        Fb::set_constraint(i, b);
    }
    void set_constraints(bool a, bool b, bool c) {
        touch();
        Fb::set_constraints(a, b, c);
    }

  private:
    void touch() {
        FaceInfo& info = this->info();
        if (info.touched || t_touched_faces == nullptr) return;
        info.touched = true;
        t_touched_faces->push_back(this);
    }
};

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexInfo, Kernel>;
using FaceInfoBase = CGAL::Triangulation_face_base_with_info_2<FaceInfo, Kernel>;
using FaceBase =
    TrackedFaceBase<Kernel, CGAL::Constrained_triangulation_face_base_2<Kernel, FaceInfoBase>>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Walks read faces all over memory: one cache line each.
static_assert(sizeof(Tds::Face) <= 64);
// The plain no-intersection tag throws as soon as a point splits a constraint.
using Itag = CGAL::No_constraint_intersection_requiring_constructions_tag;
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, Itag>;
using Point = Cdt::Point;
using VertexHandle = Cdt::Vertex_handle;
using FaceHandle = Cdt::Face_handle;
using Face = Tds::Face;
using ConstraintCrossing = Cdt::Intersection_of_constraints_exception;

// Installs the refiner's list of touched faces for the current thread.
class TouchLog {
  public:
    explicit TouchLog(std::vector<void*>& faces) : previous_(t_touched_faces) {
        t_touched_faces = &faces;
    }
    ~TouchLog() { t_touched_faces = previous_; }
    TouchLog(const TouchLog&) = delete;
    TouchLog& operator=(const TouchLog&) = delete;

  private:
    std::vector<void*>* previous_;
};

// Edges of a face in the order (A, B), (B, C), (C, A), as indices of the
// opposite corner.
constexpr int kEdgeOrder[3] = {2, 0, 1};

bool acceptable(double c) {
    const double a = std::fabs(c);
    return !std::isnan(c) && a <= kMaxCoordinate && (a == 0.0 || a >= kMinCoordinate);
}

bool acceptable(double x, double y) {
    return acceptable(x) && acceptable(y);
}

// ceil(v) as an unsigned 64-bit count: negative and NaN give 0, huge values saturate.
std::uint64_t saturating_count(double v) {
    const double c = std::ceil(v);
    if (!(c > 0.0)) return 0;
    if (c >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(c);
}

double squared_distance(double ax, double ay, double bx, double by) {
    const double dx = ax - bx;
    const double dy = ay - by;
    return dx * dx + dy * dy;
}

constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

// Widens the box [lo, hi] to hold every sample whose coordinates are both
// finite. The zeros' signs may differ from a one by one fold; the extents
// taken from the box do not.
void sample_box(const std::vector<TinSample>& samples, double lo[2], double hi[2]) {
    std::size_t k = 0;
#if defined(__SSE2__)
    // (x, y) side by side, two samples at a time in two folds.
    __m128d low[2], high[2];
    low[0] = low[1] = _mm_loadu_pd(lo);
    high[0] = high[1] = _mm_loadu_pd(hi);
    const __m128d inf = _mm_set1_pd(std::numeric_limits<double>::infinity());
    const __m128d zero = _mm_setzero_pd();
    for (; k + 2 <= samples.size(); k += 2) {
        for (int l = 0; l < 2; ++l) {
            const __m128d p = _mm_loadu_pd(&samples[k + l].x);
            // Finite in both lanes: p - p is zero only for finite values.
            __m128d finite = _mm_cmpeq_pd(_mm_sub_pd(p, p), zero);
            finite = _mm_and_pd(finite, _mm_shuffle_pd(finite, finite, 1));
            const __m128d for_low = _mm_or_pd(_mm_and_pd(finite, p), _mm_andnot_pd(finite, inf));
            const __m128d for_high =
                _mm_or_pd(_mm_and_pd(finite, p), _mm_andnot_pd(finite, _mm_sub_pd(zero, inf)));
            low[l] = _mm_min_pd(for_low, low[l]);
            high[l] = _mm_max_pd(for_high, high[l]);
        }
    }
    double folded[2][2];
    for (int l = 0; l < 2; ++l) {
        _mm_storeu_pd(folded[0], low[l]);
        _mm_storeu_pd(folded[1], high[l]);
        for (int c = 0; c < 2; ++c) {
            lo[c] = std::min(lo[c], folded[0][c]);
            hi[c] = std::max(hi[c], folded[1][c]);
        }
    }
#endif
    for (; k < samples.size(); ++k) {
        const TinSample& p = samples[k];
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        lo[0] = std::min(lo[0], p.x);
        hi[0] = std::max(hi[0], p.x);
        lo[1] = std::min(lo[1], p.y);
        hi[1] = std::max(hi[1], p.y);
    }
}

// A sample's face id while it waits for its first measurement, and once it is excluded.
constexpr std::uint32_t kUnmeasured = kNone;
constexpr std::uint32_t kExcludedSample = kNone - 1;

// Where a sample's face id reads whether the sample waits for a measurement:
// face id i at i + 2, wrapping kExcludedSample to 0 (never waits) and
// kUnmeasured to 1 (always waits), so that one load with no branch decides.
constexpr std::uint32_t wait_slot(std::uint32_t face) {
    return face + 2u;
}
static_assert(wait_slot(kExcludedSample) == 0 && wait_slot(kUnmeasured) == 1);

// The worst misfitting sample measured in a face (err > 1 only), and the
// face's corner A then.
struct FaceWorst {
    double err = 1.0;
    std::uint32_t surface = kNone;
    std::uint32_t corner = kNone;
    std::size_t sample = 0;
};

// A face id's slot (fixed for the life of the id), the worst sample measured
// in it since it last changed, and what the refresh compares and keeps: one
// cache line, as a refresh reads the records of faces all over the id range.
struct alignas(64) FaceRecord {
    FaceHandle handle;
    FaceWorst worst;
    std::array<const void*, 3> corners{};  // the face's vertices at the last refresh
    bool live = false;                     // finite at the last refresh
    // Live, bit i: the edge opposite corner i is constrained; and of those,
    // the edges found to need no boundary point from this face since its
    // corners and constraints were last set.
    std::uint8_t constrained_edges = 0;
    std::uint8_t fitting_edges = 0;
};

enum class CandidateKind { SurfaceFit, EdgeSplit };

struct Candidate {
    CandidateKind kind;
    std::uint32_t surface;
    double z;
    double x, y;
    bool on_constraint;
    std::uint32_t from, to;
    std::uint32_t face;
    std::uint32_t hint;
    std::size_t sample = kNoIndex;  // the sample's number among all samples, if one
};

// Where a point lies: in face (FACE), on the edge opposite corner `index`
// (EDGE), at corner `index` (VERTEX), or outside (the other locate types).
struct Location {
    FaceHandle face;
    Cdt::Locate_type type;
    int index;
    bool known;
};

// Shewchuk's first-stage bound for the orientation form, (3 + 16 eps) eps
// rounded up, for products of at most `m`; slack covers the rounding of `m`
// itself. Near underflow relative bounds fail: nothing is certified.
double edge_bound(double m) {
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
double below_worst(const FaceRecord& rec, double tolerance) {
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

class Refiner {
  public:
    Refiner(const std::vector<TinPoint>& boundary, const std::vector<TinSurface>& surfaces,
            std::optional<double> max_edge, const RefineOptions& options, const Interrupt& stop)
        : boundary_(boundary),
          surfaces_(surfaces),
          max_edge_(max_edge),
          options_(options),
          stop_(stop) {}

    Result<TinResult> run();

  private:
    Status validate() const;
    Status build_boundary();
    Status check_spacing() const;
    Status register_vertex(VertexHandle v);
    Status refresh_faces();
    void scan_all_faces();
    bool scan_touched_faces();
    Status number_fresh_faces();
    void note_face(FaceHandle f, bool was_live);
    void mark_changed(std::uint32_t id);
    void sort_ids(std::vector<std::uint32_t>& ids);
    std::uint32_t spatial_key(FaceHandle f) const;
    Location walk(FaceHandle f, double px, double py) const;
    Location locate(FaceHandle start, double px, double py) const;
    void sample_pass();
    // The pass, built into each caller: BlockTest or BlockTestAvx.
    template <class Block>
    [[gnu::always_inline]] inline void sample_pass_with();
    void sample_pass_baseline();
#if defined(ORVIK_TIN_AVX2)
    [[gnu::target("avx2")]] void sample_pass_avx2();
#endif
    void offer(std::size_t s, FaceRecord& rec, std::uint32_t id, std::uint32_t corner,
               std::size_t j, double z_tin, double diff);
    void fit_candidates();
    void boundary_candidates();
    void edge_candidates();
    Status insert_candidates();
    Status constrain(VertexHandle a, VertexHandle b);
    void classify();
    // A finite face at the last refresh.
    bool live(std::size_t id) const {
        return faces_[id].live;
    }
    bool inside(FaceHandle f) const {
        return hull_only_ || (f->info().visited && f->info().odd);
    }
    bool constraints_are_the_hull() const;
    // Counts `units` of work and asks `stop_` after every few thousand; true
    // (for good) once it asked to stop.
    bool stopping(std::size_t units = 1) {
        work_ += units;
        if (work_ >= next_poll_) {
            next_poll_ = work_ + kPollUnits;
            stopped_ = stopped_ || stop_.requested();
        }
        return stopped_;
    }

    const std::vector<TinPoint>& boundary_;
    const std::vector<TinSurface>& surfaces_;
    std::optional<double> max_edge_;
    RefineOptions options_;
    const Interrupt& stop_;
    // About a point location or a triangle visit each; a few thousand take
    // well under a millisecond.
    static constexpr std::size_t kPollUnits = 4096;
    std::size_t work_ = 0;
    std::size_t next_poll_ = 0;
    bool stopped_ = false;

    Cdt cdt_;
    std::vector<VertexHandle> vertices_;  // by vertex id
    // By vertex id a: the other end b of the constrained edge from a last
    // found to need no boundary point. Its test points and their misfits
    // depend on the two ends alone, so it needs none until it is split.
    std::vector<std::uint32_t> fitting_edge_end_;
    std::vector<std::vector<double>> values_;  // per surface, by vertex id
    ChunkedVector<FaceRecord> faces_;          // by face id
    std::vector<std::uint8_t> changed_{0, 1};  // per wait_slot: changed at the last refresh
    std::vector<std::uint32_t> changed_ids_;   // those ids, in no order
    std::vector<std::uint8_t> was_live_;       // scratch of a full scan
    std::vector<std::uint8_t> marked_;         // per face id: named by a fit candidate
    std::vector<std::uint32_t> bounded_;       // ids of live faces with a constrained edge
    std::vector<std::uint32_t> misfits_;       // ids of faces whose worst names a sample
    std::vector<std::uint64_t> id_bits_;       // scratch of sort_ids()
    struct FreshFace {
        std::uint32_t key;
        FaceHandle face;
    };
    std::vector<FreshFace> fresh_;          // faces without an id, at a refresh
    std::vector<FreshFace> fresh_sorted_;   // scratch of number_fresh_faces()
    double box_[4] = {0.0, 0.0, 0.0, 0.0};  // min x, min y, cells per unit in x and y
    double extent_[2] = {0.0, 0.0};         // see run()

    // Between refreshes: the faces CGAL touched, and the last face slot in
    // use. New faces take the slots after it, in slot order, as long as no
    // face was deleted; `scan_all_` asks for a scan of every face instead.
    std::vector<void*> touched_;
    Tds::Face_iterator last_slot_;
    std::size_t slots_used_ = 0;
    bool scan_all_ = true;

    // Samples of all surfaces, numbered surface after surface. A sample is
    // measured again only when the face of its last measurement changed.
    std::vector<std::size_t> sample_offset_;  // first number of each surface
    std::vector<std::uint32_t> sample_face_;  // face id, kUnmeasured or kExcludedSample

    // Per column of the boundary's box, the triangle last measured there.
    static constexpr std::size_t kRecentColumns = 256;
    std::size_t recent_column(double x) const {
        const double q = (x - box_[0]) * box_[2];
        if (!(q > 0.0)) return 0;
        if (q >= static_cast<double>(kRecentColumns - 1)) return kRecentColumns - 1;
        return static_cast<std::size_t>(q);
    }
    std::vector<MeasuredFace> recent_ = std::vector<MeasuredFace>(kRecentColumns);
    std::vector<std::uint8_t> recent_used_;

    std::vector<Candidate> candidates_;
    std::vector<FaceHandle> queue_;

    // The test points of a boundary edge, a run at a time, with the grid's
    // values at them.
    static constexpr std::size_t kTestRun = 256;
    std::vector<TinSample> test_points_ = std::vector<TinSample>(kTestRun);
    StridedView<double, 1> test_field(std::size_t offset, std::size_t count) const {
        StridedView<double, 1> view;
        view.data = reinterpret_cast<const char*>(test_points_.data()) + offset;
        view.shape = {static_cast<std::ptrdiff_t>(count)};
        view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
        return view;
    }
    MutableStridedView<double, 1> test_values(std::size_t count) {
        MutableStridedView<double, 1> view;
        view.data = reinterpret_cast<char*>(test_points_.data()) + offsetof(TinSample, z);
        view.shape = {static_cast<std::ptrdiff_t>(count)};
        view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
        return view;
    }
    // At the last classify(): the constrained edges are exactly the hull's,
    // so every finite face is inside.
    bool hull_only_ = false;
    double merge2_ = 0.0;
};

Status Refiner::validate() const {
    for (const TinSurface& s : surfaces_) {
        if (!(s.tolerance > 0.0) || !(s.boundary_spacing > 0.0)) {
            return Error::value(kTinNonPositiveParameter);
        }
    }
    if (max_edge_ && !(*max_edge_ > 0.0)) return Error::value(kTinNonPositiveParameter);
    return ok_status();
}

Status Refiner::check_spacing() const {
    const std::size_t count = boundary_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const TinPoint& a = boundary_[i];
        const TinPoint& b = boundary_[i + 1 < count ? i + 1 : 0];
        const double len = std::hypot(b.x - a.x, b.y - a.y);
        for (const TinSurface& s : surfaces_) {
            if (len / s.boundary_spacing > kTinMaxBoundaryTestPoints) {
                return Error::value(kTinSpacingTooSmall);
            }
        }
    }
    return ok_status();
}

Status Refiner::register_vertex(VertexHandle v) {
    if (vertices_.size() >= kIdLimit) return Error::value(kTinTooLarge);
    v->info().id = static_cast<std::uint32_t>(vertices_.size());
    vertices_.push_back(v);
    fitting_edge_end_.push_back(kNone);
    return ok_status();
}

Status Refiner::build_boundary() {
    const std::size_t count = boundary_.size();
    for (const TinPoint& p : boundary_) {
        if (!acceptable(p.x, p.y)) return Error::value(kTinInvalidBoundary);
    }
    std::vector<Point> points;
    points.reserve(count);
    for (const TinPoint& p : boundary_) points.emplace_back(p.x, p.y);

    // Insert in spatial order for short walks, then number the vertices in
    // the caller's order (a repeated point keeps its first number).
    std::vector<std::size_t> order(count);
    std::iota(order.begin(), order.end(), std::size_t{0});
    using SortTraits =
        CGAL::Spatial_sort_traits_adapter_2<Kernel, CGAL::Pointer_property_map<Point>::type>;
    CGAL::spatial_sort(order.begin(), order.end(), SortTraits(CGAL::make_property_map(points)));
    std::vector<VertexHandle> handles(count);
    VertexHandle hint;
    for (std::size_t i : order) {
        hint = cdt_.insert(points[i], hint == VertexHandle() ? FaceHandle() : hint->face());
        handles[i] = hint;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (handles[i]->info().id != kNone) continue;
        if (Status st = register_vertex(handles[i]); !st) return st;
    }
    if (cdt_.dimension() < 2) return Error::value(kTinInvalidBoundary);

    for (std::size_t i = 0; i < count; ++i) {
        VertexHandle a = handles[i];
        VertexHandle b = handles[i + 1 < count ? i + 1 : 0];
        if (a == b) continue;
        try {
            cdt_.insert_constraint(a, b);
        } catch (const ConstraintCrossing&) {
            return Error::value(kTinInvalidBoundary);
        }
    }
    return ok_status();
}

// Gives new faces the next ids and compares the faces that may have changed
// with what their ids stood for before. The samples of a face whose corners
// changed, or whose id died, are measured again; an unchanged face keeps its
// samples and their worst misfit, which measuring them again would
// reproduce exactly.
Status Refiner::refresh_faces() {
    for (std::uint32_t id : changed_ids_) changed_[wait_slot(id)] = 0;
    changed_ids_.clear();
    fresh_.clear();
    if (scan_all_ || options_.scan_every_face || !scan_touched_faces()) scan_all_faces();
    if (stopped_) return Error::interrupted();
    if (Status st = number_fresh_faces(); !st) return st;

    // New faces go into the first free slots: while no slot before the last
    // one in use is free, they come after it, and only touched and new
    // faces need a look at the next refresh.
    auto& slots = cdt_.tds().faces();
    last_slot_ = std::prev(slots.end());
    slots_used_ = slots.size();
    scan_all_ = slots.index(last_slot_) + 1 != slots_used_;

    sort_ids(bounded_);
    std::erase_if(bounded_, [this](std::uint32_t id) { return faces_[id].constrained_edges == 0; });
    // Faces that changed lost their worst sample; the others keep it.
    std::erase_if(misfits_, [this](std::uint32_t id) { return faces_[id].worst.surface == kNone; });
    marked_.assign(faces_.size(), 0);
    return ok_status();
}

// Looks at every face: the first time, and whenever faces may have been
// deleted or new faces may sit in freed slots.
void Refiner::scan_all_faces() {
    was_live_.resize(faces_.size());
    for (std::size_t id = 0; id < faces_.size(); ++id) {
        FaceRecord& rec = faces_[id];
        was_live_[id] = rec.live;
        rec.live = false;
        rec.constrained_edges = 0;
    }
    bounded_.clear();
    for (FaceHandle f : cdt_.all_face_handles()) {
        if (stopping()) return;
        FaceInfo& info = f->info();
        info.touched = false;
        info.fresh = false;
        if (cdt_.is_infinite(f)) continue;
        if (info.id == kNone) {
            fresh_.push_back({spatial_key(f), f});
            continue;
        }
        note_face(f, was_live_[info.id] != 0);
    }
    touched_.clear();
    // Ids finite at the previous refresh and not now died or went outside.
    for (std::size_t id = 0; id < was_live_.size(); ++id) {
        if (was_live_[id] && !faces_[id].live) mark_changed(static_cast<std::uint32_t>(id));
    }
}

// Looks at the faces touched since the last refresh and at the slots after
// the last one in use then. False when faces may sit elsewhere: when the
// slots in use did not grow by the new ones, or a touched face is new but
// not in those slots (a face beyond the hull became finite). Only a scan of
// every face numbers new faces in slot order then; what this scan did is
// part of what that one does.
bool Refiner::scan_touched_faces() {
    auto& slots = cdt_.tds().faces();
    std::size_t added = 0;
    // Faces are read a few places ahead: they lie all over memory.
    constexpr std::size_t kAhead = 8;
    auto ahead = std::next(last_slot_);
    for (std::size_t k = 0; k < kAhead && ahead != slots.end(); ++k) ++ahead;
    for (auto it = std::next(last_slot_); it != slots.end(); ++it) {
        if (ahead != slots.end()) {
            __builtin_prefetch(&*ahead->vertex(0));
            ++ahead;
        }
        ++added;
        const FaceHandle f = it;
        if (cdt_.is_infinite(f)) continue;
        f->info().fresh = true;
        fresh_.push_back({spatial_key(f), f});
    }
    bool consistent = slots_used_ + added == slots.size();
    const std::size_t count = consistent ? touched_.size() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) __builtin_prefetch(touched_[i + kAhead]);
        // Halfway there, the face is in cache: fetch its corners' record.
        if (i + kAhead / 2 < count) {
            const std::uint32_t id = static_cast<const Face*>(touched_[i + kAhead / 2])->info().id;
            if (id != kNone) __builtin_prefetch(&faces_[id]);
        }
        if (stopping()) return true;
        const FaceHandle f(static_cast<Face*>(touched_[i]));
        FaceInfo& info = f->info();
        info.touched = false;
        if (info.id == kNone) {
            // New faces are numbered below, if they are where they should be.
            if (!info.fresh && !cdt_.is_infinite(f)) consistent = false;
            continue;
        }
        if (cdt_.is_infinite(f)) {
            FaceRecord& rec = faces_[info.id];
            if (rec.live) {
                rec.live = false;
                rec.constrained_edges = 0;
                mark_changed(info.id);
            }
            continue;
        }
        note_face(f, faces_[info.id].live);
    }
    if (!consistent) {
        for (const FreshFace& fresh : fresh_) fresh.face->info().fresh = false;
        fresh_.clear();
        return false;
    }
    touched_.clear();
    return true;
}

// New faces are numbered along a space-filling curve over coarse cells, so
// that the candidates, which follow face ids, are inserted near one another;
// faces in one cell keep their slot order.
Status Refiner::number_fresh_faces() {
    // A stable sort by the 16-bit keys: counting over their low byte, then
    // over their high byte.
    fresh_sorted_.resize(fresh_.size());
    for (int shift : {0, 8}) {
        const std::vector<FreshFace>& from = shift == 0 ? fresh_ : fresh_sorted_;
        std::vector<FreshFace>& to = shift == 0 ? fresh_sorted_ : fresh_;
        std::array<std::uint32_t, 256> start{};
        for (const FreshFace& fresh : from) ++start[(fresh.key >> shift) & 0xFF];
        std::uint32_t offset = 0;
        for (std::uint32_t& c : start) {
            const std::uint32_t n = c;
            c = offset;
            offset += n;
        }
        for (const FreshFace& fresh : from) to[start[(fresh.key >> shift) & 0xFF]++] = fresh;
    }
    for (const FreshFace& fresh : fresh_) {
        if (faces_.size() >= kIdLimit) return Error::value(kTinTooLarge);
        FaceInfo& info = fresh.face->info();
        info.id = static_cast<std::uint32_t>(faces_.size());
        info.fresh = false;
        faces_.push_back({fresh.face, FaceWorst{}});
        changed_.push_back(0);
        note_face(fresh.face, false);
    }
    return ok_status();
}

// Sorts face ids and drops repeats through a bitmap over all ids, which
// costs far less than comparisons when there are thousands.
void Refiner::sort_ids(std::vector<std::uint32_t>& ids) {
    id_bits_.assign((faces_.size() + 63) / 64, 0);
    for (std::uint32_t id : ids) id_bits_[id / 64] |= std::uint64_t{1} << (id % 64);
    ids.clear();
    for (std::size_t w = 0; w < id_bits_.size(); ++w) {
        for (std::uint64_t bits = id_bits_[w]; bits != 0; bits &= bits - 1) {
            ids.push_back(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
        }
    }
}

void Refiner::mark_changed(std::uint32_t id) {
    if (!changed_[wait_slot(id)]) {
        changed_[wait_slot(id)] = 1;
        changed_ids_.push_back(id);
    }
    faces_[id].worst = FaceWorst{};
    faces_[id].fitting_edges = 0;
}

void Refiner::note_face(FaceHandle f, bool was_live) {
    FaceInfo& info = f->info();
    const std::uint32_t id = info.id;
    FaceRecord& rec = faces_[id];
    rec.live = true;
    const std::uint8_t constrained_edges =
        static_cast<std::uint8_t>((f->is_constrained(0) ? 1 : 0) | (f->is_constrained(1) ? 2 : 0) |
                                  (f->is_constrained(2) ? 4 : 0));
    if (constrained_edges != rec.constrained_edges) {
        rec.constrained_edges = constrained_edges;
        rec.fitting_edges = 0;
    }
    if (constrained_edges != 0) bounded_.push_back(id);
    const void* now[3] = {&*f->vertex(0), &*f->vertex(1), &*f->vertex(2)};
    auto& corners = rec.corners;
    if (!was_live || corners[0] != now[0] || corners[1] != now[1] || corners[2] != now[2]) {
        mark_changed(id);
        for (int k = 0; k < 3; ++k) corners[k] = now[k];
    }
}

// Morton code of the 256 x 256 cell of the boundary's box that holds a
// face's first corner.
std::uint32_t Refiner::spatial_key(FaceHandle f) const {
    const Point& a = f->vertex(0)->point();
    const auto cell = [](double v, double lo, double scale) -> std::uint32_t {
        const double q = (v - lo) * scale;
        if (!(q > 0.0)) return 0;
        if (q >= 255.0) return 255;
        return static_cast<std::uint32_t>(q);
    };
    const std::uint32_t ix = cell(a.x(), box_[0], box_[2]);
    const std::uint32_t iy = cell(a.y(), box_[1], box_[3]);
    std::uint32_t key = 0;
    for (int bit = 0; bit < 8; ++bit) {
        key |= ((ix >> bit) & 1u) << (2 * bit);
        key |= ((iy >> bit) & 1u) << (2 * bit + 1);
    }
    return key;
}

// Orientation of (a, b, c) certified by a floating-point filter: +1 or -1
// when the computed sign is sure, 0 when it is not.
int certain_orientation(double ax, double ay, double bx, double by, double cx, double cy) {
    const double left = (ax - cx) * (by - cy);
    const double right = (ay - cy) * (bx - cx);
    const double det = left - right;
    const double magnitude = std::fabs(left) + std::fabs(right);
    // Relative bounds fail where products lose precision to underflow.
    if (magnitude < 1e-280) return 0;
    // Shewchuk's first-stage bound for orient2d, (3 + 16 eps) eps, rounded up.
    const double bound = 3.3306690738754738e-16 * magnitude;
    if (det > bound) return 1;
    if (-det > bound) return -1;
    return 0;
}

// True when d = a - b was computed without rounding (Knuth's two-sum error is zero).
bool exact_difference(double a, double b, double d) {
    const double bv = d - a;
    const double av = d - bv;
    return (a - av) + (-b - bv) == 0.0;
}

// True when p = a * b was computed without rounding (Dekker's product error is
// zero). Products near underflow are not vouched for.
bool exact_product(double a, double b, double p) {
    if (p == 0.0) return a == 0.0 || b == 0.0;
    if (std::fabs(p) < 1e-250) return false;
    const auto split = [](double v, double& hi, double& lo) {
        const double c = 134217729.0 * v;
        hi = c - (c - v);
        lo = v - hi;
    };
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl == 0.0;
}

// The orientation of (a, b, c) when the plain evaluation can be shown to be
// exact, which is common for points on a lattice: -1, 0 or +1; 2 otherwise.
int exact_orientation(double ax, double ay, double bx, double by, double cx, double cy) {
    const double d1 = ax - cx, d2 = by - cy, d3 = ay - cy, d4 = bx - cx;
    if (!exact_difference(ax, cx, d1) || !exact_difference(by, cy, d2) ||
        !exact_difference(ay, cy, d3) || !exact_difference(bx, cx, d4)) {
        return 2;
    }
    const double left = d1 * d2, right = d3 * d4;
    if (!exact_product(d1, d2, left) || !exact_product(d3, d4, right)) return 2;
    const double det = left - right;
    if (!exact_difference(left, right, det)) return 2;
    return det > 0.0 ? 1 : (det < 0.0 ? -1 : 0);
}

// Walks from face f towards the point across edges that surely separate
// them. `known` is false when an orientation could not be settled cheaply,
// the walk met the hull or ran long; exact location then takes over from
// `face`, the face reached.
Location Refiner::walk(FaceHandle f, double px, double py) const {
    if (cdt_.is_infinite(f)) return {f, Cdt::FACE, 0, false};
    constexpr int kMaxSteps = 64;  // a walk can cycle where the mesh is not Delaunay
    // The edge the walk came in by: the point lies surely beyond it seen
    // from the face left, so surely inside seen from this one (the
    // orientation of the reversed edge is the exact negation).
    int entry = -1;
    for (int step = 0; step < kMaxSteps; ++step) {
        const Point* v[3] = {&f->vertex(0)->point(), &f->vertex(1)->point(),
                             &f->vertex(2)->point()};
        int exit = -1, zeros = 0, zero_sum = 0;
        bool unknown = false;
        for (int k = 0; k < 3; ++k) {
            if (k == entry) continue;
            const Point& a = *v[Cdt::ccw(k)];
            const Point& b = *v[Cdt::cw(k)];
            int o = certain_orientation(a.x(), a.y(), b.x(), b.y(), px, py);
            if (o == 0) o = exact_orientation(a.x(), a.y(), b.x(), b.y(), px, py);
            if (o == 1) continue;
            if (o == -1) {
                exit = k;
                break;
            }
            if (o == 0) {
                ++zeros;
                zero_sum += k;
            } else {
                unknown = true;
            }
        }
        if (exit >= 0) {
            const FaceHandle next = f->neighbor(exit);
            if (cdt_.is_infinite(next)) return {f, Cdt::FACE, 0, false};
            entry = next->index(f);
            f = next;
            continue;
        }
        if (unknown) return {f, Cdt::FACE, 0, false};
        if (zeros == 0) return {f, Cdt::FACE, 0, true};
        if (zeros == 1) return {f, Cdt::EDGE, zero_sum, true};
        // On two edge lines: the corner they share.
        return {f, Cdt::VERTEX, 3 - zero_sum, true};
    }
    return {f, Cdt::FACE, 0, false};
}

Location Refiner::locate(FaceHandle start, double px, double py) const {
    Location loc = walk(start, px, py);
    if (!loc.known) {
        int li = 0;
        loc.face = cdt_.locate(Point(px, py), loc.type, li, loc.face);
        loc.index = li;
        loc.known = true;
    }
    return loc;
}

void Refiner::sample_pass() {
#if defined(ORVIK_TIN_AVX2)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2 && !options_.baseline_lanes) {
        sample_pass_avx2();
        return;
    }
#endif
    sample_pass_baseline();
}

void Refiner::sample_pass_baseline() {
    sample_pass_with<BlockTest>();
}

#if defined(ORVIK_TIN_AVX2)
void Refiner::sample_pass_avx2() {
    sample_pass_with<BlockTestAvx>();
}
#endif

template <class Block>
void Refiner::sample_pass_with() {
    for (std::size_t s = 0; s < surfaces_.size(); ++s) {
        const TinSurface& surface = surfaces_[s];
        const std::vector<double>& values = values_[s];
        const double tolerance = surface.tolerance;
        const bool finite_tolerance = std::isfinite(tolerance);
        const std::size_t base = sample_offset_[s];
        const bool trust = !options_.locate_every_sample;
        // Blocks rely on the filter, and on fits that need no division.
        const std::size_t blocks = trust && finite_tolerance ? 1 : 0;
        FaceHandle last = vertices_[0]->face();
        std::size_t previous = kNoIndex;  // the sample located last
        // The triangle of the last measurement, and per column of the
        // boundary's box the triangle last measured there: samples in rows
        // cross, row after row, the same triangles.
        MeasuredFace* mp = nullptr;  // describes `last`
        recent_used_.assign(kRecentColumns, 0);

        // Once a few samples in a row fell in the last triangle, the next
        // four are tried against it at once.
        constexpr std::size_t kBlock = 4, kStreak = 6, kSampleAhead = 16;
        std::size_t streak = 0;  // samples in a row measured in the last triangle
        Block block;
        const std::size_t count = surface.samples.size();
        std::uint32_t* faces_of = sample_face_.data() + base;
        const std::uint8_t* changed = changed_.data();
        // Not excluded, and not measured in a triangle that is still there.
        const auto waits = [changed](std::uint32_t old) { return changed[wait_slot(old)] != 0; };
        std::size_t j = 0;
        while (j < count) {
            if (stopping(256)) return;
            const std::size_t end = std::min(count, j + 256);
            for (; j < end; ++j) {
                const std::uint32_t old = faces_of[j];
                if (!waits(old)) {
                    // Late passes measure few samples: after one that stays,
                    // pass over the next eight at once when they all stay too.
                    constexpr std::size_t kSkip = 8;
                    while (j + kSkip < end) {
                        unsigned any = 0;
                        for (std::size_t l = 1; l <= kSkip; ++l) {
                            any |= changed[wait_slot(faces_of[j + l])];
                        }
                        if (any != 0) break;
                        j += kSkip;
                    }
                    continue;
                }
                if (streak >= kStreak) {
                    if (j + kBlock <= count && waits(faces_of[j + 1]) && waits(faces_of[j + 2]) &&
                        waits(faces_of[j + 3]) &&
                        block.settled(*mp, &surface.samples[j], tolerance,
                                      below_worst(*mp->record, tolerance)) == 0xFu) {
                        for (std::size_t l = 0; l < kBlock; ++l) faces_of[j + l] = mp->id;
                        previous = j + kBlock - 1;
                        j += kBlock - 1;
                        continue;
                    }
                    streak = 0;
                }
                // Late passes read samples here and there, too sparsely for the
                // processor to fetch them ahead by itself.
                if (j + kSampleAhead < count)
                    __builtin_prefetch(&surface.samples[j + kSampleAhead]);
                const TinSample& p = surface.samples[j];
                // Location needs finite coordinates; such a sample lies in no triangle.
                if (old == kUnmeasured && (!std::isfinite(p.x) || !std::isfinite(p.y))) {
                    faces_of[j] = kExcludedSample;
                    continue;
                }
                double nu = 0.0, nv = 0.0;
                if (trust && mp && mp->holds(p.x, p.y, nu, nv)) {
                    streak += blocks;
                } else {
                    streak = 0;
                    const std::size_t column = recent_column(p.x);
                    MeasuredFace& recent = recent_[column];
                    if (trust && recent_used_[column] && recent.holds(p.x, p.y, nu, nv)) {
                        mp = &recent;
                        last = recent.face;
                    } else {
                        // Samples come mostly in runs through neighbouring triangles:
                        // start from the last one, or else from the slot of the face
                        // this sample was in before, which CGAL reused nearby.
                        FaceHandle start = last;
                        if (j != previous + 1 && old != kUnmeasured) {
                            const FaceHandle slot = faces_[old].handle;
                            if (cdt_.tds().faces().is_used(slot)) start = slot;
                        }
                        const Location loc = locate(start, p.x, p.y);
                        FaceHandle f = loc.face;
                        if (loc.type == Cdt::EDGE) {
                            // Of the two triangles along the edge, the one of smaller id, so
                            // that the choice does not depend on where the walk began.
                            const FaceHandle other = f->neighbor(loc.index);
                            if (cdt_.is_infinite(f) ||
                                (!cdt_.is_infinite(other) && other->info().id < f->info().id)) {
                                f = other;
                            }
                            if (cdt_.is_infinite(f)) {
                                faces_of[j] = kExcludedSample;
                                continue;
                            }
                        } else if (loc.type != Cdt::FACE) {
                            faces_of[j] = kExcludedSample;  // on a vertex or outside the hull
                            continue;
                        }
                        if (!mp || f != last) {
                            recent.load(f, faces_, values, extent_);
                            recent_used_[column] = 1;
                            mp = &recent;
                        }
                        last = f;
                        mp->numerators(p.x, p.y, nu, nv);
                    }
                }
                const MeasuredFace& m = *mp;
                previous = j;
                FaceRecord& rec = *m.record;
                const std::uint32_t id = m.id;
                faces_of[j] = id;
                if (std::isnan(p.z)) continue;
                const double u = nu / m.det;
                const double v = nv / m.det;
                const double z_tin = (((1.0 - u) - v) * m.za + u * m.zb) + v * m.zc;
                const double diff = std::fabs(z_tin - p.z);
                // For a finite positive tolerance, diff / tolerance <= 1 exactly when
                // diff <= tolerance (division rounds monotonically): most fits need
                // no division.
                if (finite_tolerance && diff <= tolerance) continue;
                // Likewise a misfit clearly below the face's worst so far cannot
                // replace it, and needs no division either.
                if (diff < below_worst(rec, tolerance)) continue;
                offer(s, rec, id, m.corner, j, z_tin, diff);
            }
        }
    }
}

// A misfit of sample j of surface s in face `id` that may be the face's worst:
// it becomes the worst if it is worse.
void Refiner::offer(std::size_t s, FaceRecord& rec, std::uint32_t id, std::uint32_t corner,
                    std::size_t j, double z_tin, double diff) {
    const double tolerance = surfaces_[s].tolerance;
    const double err =
        std::isnan(z_tin) ? std::numeric_limits<double>::infinity() : diff / tolerance;
    if (!(err > rec.worst.err)) {
        // Equal misfits keep the earlier sample, whatever order they came in.
        if (!(err == rec.worst.err && rec.worst.surface != kNone &&
              (s < rec.worst.surface || (s == rec.worst.surface && j < rec.worst.sample)))) {
            return;
        }
    }
    if (rec.worst.surface == kNone) misfits_.push_back(id);
    rec.worst = {err, static_cast<std::uint32_t>(s), corner, j};
}

void Refiner::fit_candidates() {
    sort_ids(misfits_);
    for (std::size_t i = 0; i < misfits_.size(); ++i) {
        // The faces' records and their worst samples lie all over memory:
        // fetch a record some places ahead, and the sample of one half as far.
        if (i + 16 < misfits_.size()) __builtin_prefetch(&faces_[misfits_[i + 16]]);
        if (i + 8 < misfits_.size()) {
            const FaceWorst& ahead = faces_[misfits_[i + 8]].worst;
            __builtin_prefetch(&surfaces_[ahead.surface].samples[ahead.sample]);
        }
        const std::uint32_t id = misfits_[i];
        const FaceRecord& rec = faces_[id];
        const TinSample& p = surfaces_[rec.worst.surface].samples[rec.worst.sample];
        candidates_.push_back({CandidateKind::SurfaceFit, rec.worst.surface, p.z, p.x, p.y, false,
                               0, 0, static_cast<std::uint32_t>(id), rec.worst.corner,
                               sample_offset_[rec.worst.surface] + rec.worst.sample});
        marked_[id] = 1;
    }
}

void Refiner::boundary_candidates() {
    const bool shortcut = !options_.test_every_boundary_edge;
    for (std::uint32_t id : bounded_) {
        FaceRecord& rec = faces_[id];
        // A face whose constrained edges all fit, as they were, is not read.
        if (shortcut && (rec.constrained_edges & ~rec.fitting_edges) == 0) continue;
        const FaceHandle f = rec.handle;
        for (int i : kEdgeOrder) {
            if (!f->is_constrained(i)) continue;
            // Each edge once: from its finite face of smaller id.
            const FaceHandle n = f->neighbor(i);
            if (!cdt_.is_infinite(n) && n->info().id < id) continue;
            const VertexHandle va = f->vertex(Cdt::ccw(i));
            const VertexHandle vb = f->vertex(Cdt::cw(i));
            const std::uint32_t a = va->info().id, b = vb->info().id;
            if (shortcut && fitting_edge_end_[a] == b) {
                rec.fitting_edges |= static_cast<std::uint8_t>(1u << i);
                continue;
            }
            const double xa = va->point().x(), ya = va->point().y();
            const double dx = vb->point().x() - xa, dy = vb->point().y() - ya;
            const double len = std::sqrt(dx * dx + dy * dy);
            double best = 1.0;
            bool chosen = false;
            Candidate cand{CandidateKind::SurfaceFit,      0, 0.0, 0.0, 0.0, true, a, b,
                           static_cast<std::uint32_t>(id), a};
            for (std::size_t s = 0; s < surfaces_.size(); ++s) {
                const TinSurface& surface = surfaces_[s];
                const std::uint64_t n_points = saturating_count(len / surface.boundary_spacing);
                if (n_points < 2) continue;
                const double za = values_[s][a], zb = values_[s][b];
                const double nd = static_cast<double>(n_points);
                // The grid is read a run of points at a time.
                for (std::uint64_t first = 1; first < n_points; first += kTestRun) {
                    const auto run = static_cast<std::size_t>(
                        std::min<std::uint64_t>(kTestRun, n_points - first));
                    if (stopping(run)) return;
                    for (std::size_t i = 0; i < run; ++i) {
                        const double t = static_cast<double>(first + i) / nd;
                        test_points_[i] = {t * dx + xa, t * dy + ya, 0.0};
                    }
                    StructuredGrid::query_values(
                        *surface.grid, test_field(offsetof(TinSample, x), run),
                        test_field(offsetof(TinSample, y), run), true, test_values(run));
                    for (std::size_t i = 0; i < run; ++i) {
                        const double zg = test_points_[i].z;
                        if (std::isnan(zg)) continue;
                        const double t = static_cast<double>(first + i) / nd;
                        const double z_lin = t * (zb - za) + za;
                        const double err = std::isnan(z_lin)
                                               ? std::numeric_limits<double>::infinity()
                                               : std::fabs(z_lin - zg) / surface.tolerance;
                        if (err > best) {
                            best = err;
                            chosen = true;
                            cand.surface = static_cast<std::uint32_t>(s);
                            cand.z = zg;
                            cand.x = test_points_[i].x;
                            cand.y = test_points_[i].y;
                        }
                    }
                }
            }
            if (chosen) {
                candidates_.push_back(cand);
                marked_[id] = 1;
            } else {
                fitting_edge_end_[a] = b;
                rec.fitting_edges |= static_cast<std::uint8_t>(1u << i);
            }
        }
    }
}

void Refiner::edge_candidates() {
    classify();
    const double limit = *max_edge_ * *max_edge_;
    for (std::size_t id = 0; id < faces_.size(); ++id) {
        if (stopping()) return;
        if (!live(id) || marked_[id]) continue;
        const FaceHandle f = faces_[id].handle;
        if (!inside(f)) continue;
        int chosen = kEdgeOrder[0];
        double longest = -1.0;
        for (int i : kEdgeOrder) {
            const Point& p = f->vertex(Cdt::ccw(i))->point();
            const Point& q = f->vertex(Cdt::cw(i))->point();
            const double dx = q.x() - p.x(), dy = q.y() - p.y();
            const double d2 = dx * dx + dy * dy;
            if (d2 >= longest) {
                longest = d2;
                chosen = i;
            }
        }
        if (!(longest > limit)) continue;
        const VertexHandle from = f->vertex(Cdt::ccw(chosen));
        const VertexHandle to = f->vertex(Cdt::cw(chosen));
        candidates_.push_back(
            {CandidateKind::EdgeSplit, kNone, 0.0, (from->point().x() + to->point().x()) * 0.5,
             (from->point().y() + to->point().y()) * 0.5, f->is_constrained(chosen),
             from->info().id, to->info().id, static_cast<std::uint32_t>(id), from->info().id});
    }
}

Status Refiner::constrain(VertexHandle a, VertexHandle b) {
    FaceHandle f;
    int i = 0;
    const bool edge = cdt_.is_edge(a, b, f, i);
    if (edge && f->is_constrained(i)) return ok_status();
    // Without the edge, CGAL deletes the faces that the constraint crosses and
    // triangulates the two holes: new faces may then take freed slots.
    if (!edge) scan_all_ = true;
    try {
        cdt_.insert_constraint(a, b);
    } catch (const ConstraintCrossing&) {
        return Error::value(kTinInvalidBoundary);
    }
    return ok_status();
}

Status Refiner::insert_candidates() {
    for (std::size_t c = 0; c < candidates_.size(); ++c) {
        const Candidate& cand = candidates_[c];
        // The candidates' triangles lie here and there: fetch the record of
        // one some places ahead, and the triangle of one half as far.
        constexpr std::size_t kAhead = 8;
        if (c + kAhead < candidates_.size())
            __builtin_prefetch(&faces_[candidates_[c + kAhead].face]);
        if (c + kAhead / 2 < candidates_.size()) {
            __builtin_prefetch(&*faces_[candidates_[c + kAhead / 2].face].handle);
        }
        if (stopping(8)) return Error::interrupted();
        const Point p(cand.x, cand.y);
        // The candidate's own triangle, while it is still in use, is the nearest start.
        const FaceHandle own = faces_[cand.face].handle;
        const FaceHandle start =
            cdt_.tds().faces().is_used(own) ? own : vertices_[cand.hint]->face();
        const Location found = locate(start, cand.x, cand.y);
        const FaceHandle loc = found.face;
        const Cdt::Locate_type lt = found.type;
        const int li = found.index;
        if (lt == Cdt::VERTEX) continue;
        if (lt == Cdt::EDGE) {
            const Point& o = loc->vertex(Cdt::ccw(li))->point();
            const Point& d = loc->vertex(Cdt::cw(li))->point();
            if (squared_distance(cand.x, cand.y, o.x(), o.y()) <= merge2_ ||
                squared_distance(cand.x, cand.y, d.x(), d.y()) <= merge2_) {
                continue;
            }
        } else if (lt == Cdt::FACE) {
            bool near = false;
            for (int k = 0; k < 3 && !near; ++k) {
                const Point& c = loc->vertex(k)->point();
                near = squared_distance(cand.x, cand.y, c.x(), c.y()) <= merge2_;
            }
            if (near) continue;
        }

        VertexHandle w;
        if (cand.on_constraint) {
            const VertexHandle from = vertices_[cand.from];
            const VertexHandle to = vertices_[cand.to];
            FaceHandle ef;
            int ei = 0;
            // An earlier candidate may have split this edge already.
            if (!cdt_.is_edge(from, to, ef, ei) || !ef->is_constrained(ei)) continue;
            cdt_.remove_constrained_edge(ef, ei);
            if (!acceptable(cand.x, cand.y)) return Error::value(kTinInvalidBoundary);
            w = cdt_.insert(p, from->face());
            const bool fresh = w->info().id == kNone;
            if (fresh) {
                if (Status st = register_vertex(w); !st) return st;
            }
            if (w != from) {
                if (Status st = constrain(from, w); !st) return st;
            }
            if (w != to) {
                if (Status st = constrain(w, to); !st) return st;
            }
            if (!fresh) continue;
        } else {
            if (!acceptable(cand.x, cand.y)) return Error::value(kTinInvalidBoundary);
            w = cdt_.insert(p, lt, loc, li);
            if (w->info().id != kNone) continue;
            if (Status st = register_vertex(w); !st) return st;
            // The sample is now a vertex: the next pass would find it there and
            // exclude it.
            if (cand.sample != kNoIndex && !options_.locate_every_sample) {
                sample_face_[cand.sample] = kExcludedSample;
            }
        }
        for (std::size_t s = 0; s < surfaces_.size(); ++s) {
            const bool own = cand.kind == CandidateKind::SurfaceFit && cand.surface == s;
            values_[s].push_back(
                own ? cand.z
                    : StructuredGrid::query(*surfaces_[s].grid, cand.x, cand.y, true).value);
        }
    }
    return ok_status();
}

// True when every hull edge is constrained and no other edge is: a convex
// boundary, as most are. Uses the constrained faces of the last refresh.
bool Refiner::constraints_are_the_hull() const {
    const VertexHandle infinite = cdt_.infinite_vertex();
    Cdt::Face_circulator around = cdt_.incident_faces(infinite), done = around;
    do {
        const FaceHandle g = around;
        if (!g->is_constrained(g->index(infinite))) return false;
    } while (++around != done);
    for (std::uint32_t id : bounded_) {
        const FaceHandle f = faces_[id].handle;
        for (int i = 0; i < 3; ++i) {
            if (f->is_constrained(i) && !cdt_.is_infinite(f->neighbor(i))) return false;
        }
    }
    return true;
}

// Parity of constraint crossings from the hull inwards: odd means inside.
// When the constraints are the hull, every finite face crosses one of them
// from outside and no other: all are inside, with no search.
void Refiner::classify() {
    hull_only_ = !options_.search_inside_faces && constraints_are_the_hull();
    if (hull_only_) return;
    for (FaceHandle f : cdt_.all_face_handles()) {
        f->info().visited = false;
        f->info().odd = false;
    }
    queue_.clear();
    const VertexHandle infinite = cdt_.infinite_vertex();
    Cdt::Face_circulator around = cdt_.incident_faces(infinite), done = around;
    do {
        const FaceHandle g = around;
        const int i = g->index(infinite);
        const FaceHandle t = g->neighbor(i);
        if (!t->info().visited) {
            t->info().visited = true;
            t->info().odd = g->is_constrained(i);
            queue_.push_back(t);
        }
    } while (++around != done);
    for (std::size_t head = 0; head < queue_.size(); ++head) {
        if (stopping()) return;
        // Faces lie all over memory: fetch those a few places ahead, and
        // their neighbours.
        if (head + 16 < queue_.size()) __builtin_prefetch(&*queue_[head + 16]);
        if (head + 8 < queue_.size()) {
            const FaceHandle ahead = queue_[head + 8];
            for (int i = 0; i < 3; ++i) __builtin_prefetch(&*ahead->neighbor(i));
        }
        const FaceHandle g = queue_[head];
        for (int i : kEdgeOrder) {
            const FaceHandle h = g->neighbor(i);
            if (cdt_.is_infinite(h) || h->info().visited) continue;
            h->info().visited = true;
            h->info().odd = g->info().odd != g->is_constrained(i);
            queue_.push_back(h);
        }
    }
}

Result<TinResult> Refiner::run() {
    if (Status st = validate(); !st) return st.error();
    if (Status st = build_boundary(); !st) return st.error();
    if (Status st = check_spacing(); !st) return st.error();

    values_.resize(surfaces_.size());
    for (std::size_t s = 0; s < surfaces_.size(); ++s) {
        values_[s].reserve(vertices_.size());
        for (VertexHandle v : vertices_) {
            values_[s].push_back(
                StructuredGrid::query(*surfaces_[s].grid, v->point().x(), v->point().y(), true)
                    .value);
        }
    }

    double min_x = boundary_[0].x, max_x = min_x, min_y = boundary_[0].y, max_y = min_y;
    for (const TinPoint& p : boundary_) {
        min_x = std::min(min_x, p.x);
        max_x = std::max(max_x, p.x);
        min_y = std::min(min_y, p.y);
        max_y = std::max(max_y, p.y);
    }
    const double merge_distance = 1e-9 * std::hypot(max_x - min_x, max_y - min_y);
    box_[0] = min_x;
    box_[1] = min_y;
    box_[2] = max_x > min_x ? 256.0 / (max_x - min_x) : 0.0;
    box_[3] = max_y > min_y ? 256.0 / (max_y - min_y) : 0.0;
    merge2_ = merge_distance * merge_distance;

    std::size_t total = 0;
    for (const TinSurface& surface : surfaces_) {
        sample_offset_.push_back(total);
        total += surface.samples.size();
    }
    sample_face_.assign(total, kUnmeasured);
    // A box holding every sample and vertex: vertices are boundary points,
    // samples, or points of the boundary's hull (which splitting edges may
    // round off it by an ulp or two).
    double lo[2] = {min_x, min_y}, hi[2] = {max_x, max_y};
    for (const TinSurface& surface : surfaces_) sample_box(surface.samples, lo, hi);
    for (int k = 0; k < 2; ++k) {
        extent_[k] = (hi[k] - lo[k]) + 1e-15 * (std::fabs(lo[k]) + std::fabs(hi[k]));
    }
    // From here on every face CGAL changes is noted for the next refresh.
    TouchLog log(touched_);

    for (;;) {
        const std::size_t v0 = vertices_.size();
        if (Status st = refresh_faces(); !st) return st.error();
        sample_pass();
        candidates_.clear();
        fit_candidates();
        if (!surfaces_.empty()) boundary_candidates();
        if (max_edge_) edge_candidates();
        if (stopped_) return Error::interrupted();
        if (Status st = insert_candidates(); !st) return st.error();
        if (vertices_.size() <= v0) break;
    }

    if (Status st = refresh_faces(); !st) return st.error();
    classify();
    if (stopped_) return Error::interrupted();
    TinResult result;
    result.vertices.reserve(vertices_.size() * 2);
    for (VertexHandle v : vertices_) {
        result.vertices.push_back(v->point().x());
        result.vertices.push_back(v->point().y());
    }
    for (std::size_t id = 0; id < faces_.size(); ++id) {
        // Faces and vertices lie all over memory: fetch a face, and then its
        // corners, a few places ahead.
        if (id + 16 < faces_.size()) __builtin_prefetch(&*faces_[id + 16].handle);
        if (id + 8 < faces_.size()) {
            const FaceHandle ahead = faces_[id + 8].handle;
            for (int k = 0; k < 3; ++k) __builtin_prefetch(&*ahead->vertex(k));
        }
        const FaceHandle f = faces_[id].handle;
        if (!live(id) || !inside(f)) continue;
        for (int k = 0; k < 3; ++k) result.triangles.push_back(f->vertex(k)->info().id);
    }
    return result;
}

}  // namespace

Result<TinResult> adaptive_tin(const std::vector<TinPoint>& boundary,
                               const std::vector<TinSurface>& surfaces,
                               std::optional<double> max_edge, const RefineOptions& options,
                               const Interrupt& stop) {
    try {
        Refiner refiner(boundary, surfaces, max_edge, options, stop);
        return refiner.run();
    } catch (const CGAL::Failure_exception& e) {
        return Error::internal(e.what());
    }
}

Result<TinResult> adaptive_tin(const std::vector<TinPoint>& boundary,
                               const std::vector<TinSurface>& surfaces,
                               std::optional<double> max_edge, const Interrupt& stop) {
    return adaptive_tin(boundary, surfaces, max_edge, RefineOptions{}, stop);
}

}  // namespace orvik
