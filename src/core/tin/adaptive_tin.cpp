// The driver of the refinement: the checks of its input, the constrained
// triangulation of the boundary, then passes of measurement and insertion
// until every sample and boundary edge fits. CGAL stays in this unit: the
// header exposes only plain records.
#include "tin/adaptive_tin.hpp"

#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "tin/refiner.hpp"

namespace orvik {
namespace tin {
namespace {

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

}  // namespace

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

Result<TinResult> Refiner::run() {
    if (Status st = validate(); !st) return st.error();
    if (Status st = build_boundary(); !st) return st.error();
    if (Status st = check_spacing(); !st) return st.error();
    prepare();
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
    return result();
}

// The surfaces' values at the boundary's vertices, the boundary's box and
// merge distance, the samples' numbers, and the extent of a box that holds
// every sample and vertex.
void Refiner::prepare() {
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
    // Vertices are boundary points, samples, or points of the boundary's
    // hull (which splitting edges may round off it by an ulp or two).
    double lo[2] = {min_x, min_y}, hi[2] = {max_x, max_y};
    for (const TinSurface& surface : surfaces_) sample_box(surface.samples, lo, hi);
    for (int k = 0; k < 2; ++k) {
        extent_[k] = (hi[k] - lo[k]) + 1e-15 * (std::fabs(lo[k]) + std::fabs(hi[k]));
    }
}

// The vertices in id order and the inside faces in id order.
TinResult Refiner::result() {
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

}  // namespace tin

Result<TinResult> adaptive_tin(const std::vector<TinPoint>& boundary,
                               const std::vector<TinSurface>& surfaces,
                               std::optional<double> max_edge, const RefineOptions& options,
                               const Interrupt& stop) {
    try {
        tin::Refiner refiner(boundary, surfaces, max_edge, options, stop);
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
