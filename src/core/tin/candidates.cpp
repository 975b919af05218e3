// The candidates of a pass, the points to insert: the worst misfitting
// sample of each face, the worst test point of each boundary edge that
// misfits, the midpoint of each edge longer than max_edge; and their
// insertion.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tin/refiner.hpp"

namespace orvik::tin {
namespace {

double squared_distance(double ax, double ay, double bx, double by) {
    const double dx = ax - bx;
    const double dy = ay - by;
    return dx * dx + dy * dy;
}

// ceil(v) as an unsigned 64-bit count: negative and NaN give 0, huge values saturate.
std::uint64_t saturating_count(double v) {
    const double c = std::ceil(v);
    if (!(c > 0.0)) return 0;
    if (c >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(c);
}

}  // namespace

StridedView<double, 1> Refiner::test_field(std::size_t offset, std::size_t count) const {
    StridedView<double, 1> view;
    view.data = reinterpret_cast<const char*>(test_points_.data()) + offset;
    view.shape = {static_cast<std::ptrdiff_t>(count)};
    view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
    return view;
}

MutableStridedView<double, 1> Refiner::test_values(std::size_t count) {
    MutableStridedView<double, 1> view;
    view.data = reinterpret_cast<char*>(test_points_.data()) + offsetof(TinSample, z);
    view.shape = {static_cast<std::ptrdiff_t>(count)};
    view.strides = {static_cast<std::ptrdiff_t>(sizeof(TinSample))};
    return view;
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
            Candidate cand{CandidateKind::SurfaceFit,      0, 0.0, 0.0, 0.0, true, a, b,
                           static_cast<std::uint32_t>(id), a};
            bool chosen = false;
            if (!edge_candidate(va, vb, cand, chosen)) return;
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

// The worst misfit, over every surface, of the test points of the
// constrained edge from va to vb: spaced the surface's boundary_spacing
// apart, compared with the line between the edge's ends. `chosen` when one
// misfits, with its place and value in `cand`. False when `stop_` asked to
// end.
[[gnu::always_inline]] inline bool Refiner::edge_candidate(VertexHandle va, VertexHandle vb,
                                                           Candidate& cand, bool& chosen) {
    const std::uint32_t a = va->info().id, b = vb->info().id;
    const double xa = va->point().x(), ya = va->point().y();
    const double dx = vb->point().x() - xa, dy = vb->point().y() - ya;
    const double len = std::sqrt(dx * dx + dy * dy);
    double best = 1.0;
    for (std::size_t s = 0; s < surfaces_.size(); ++s) {
        const TinSurface& surface = surfaces_[s];
        const std::uint64_t n_points = saturating_count(len / surface.boundary_spacing);
        if (n_points < 2) continue;
        const double za = values_[s][a], zb = values_[s][b];
        const double nd = static_cast<double>(n_points);
        // The grid is read a run of points at a time.
        for (std::uint64_t first = 1; first < n_points; first += kTestRun) {
            const auto run =
                static_cast<std::size_t>(std::min<std::uint64_t>(kTestRun, n_points - first));
            if (stopping(run)) return false;
            for (std::size_t i = 0; i < run; ++i) {
                const double t = static_cast<double>(first + i) / nd;
                test_points_[i] = {t * dx + xa, t * dy + ya, 0.0};
            }
            StructuredGrid::query_values(*surface.grid, test_field(offsetof(TinSample, x), run),
                                         test_field(offsetof(TinSample, y), run), true,
                                         test_values(run));
            for (std::size_t i = 0; i < run; ++i) {
                const double zg = test_points_[i].z;
                if (std::isnan(zg)) continue;
                const double t = static_cast<double>(first + i) / nd;
                const double z_lin = t * (zb - za) + za;
                const double err = std::isnan(z_lin) ? std::numeric_limits<double>::infinity()
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
    return true;
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
        // The candidate's own triangle, while it is still in use, is the nearest start.
        const FaceHandle own = faces_[cand.face].handle;
        const FaceHandle start =
            cdt_.tds().faces().is_used(own) ? own : vertices_[cand.hint]->face();
        const Location found = locate(start, cand.x, cand.y);
        if (near_a_vertex(cand, found)) continue;
        bool inserted = false;
        if (cand.on_constraint) {
            if (Status st = insert_on_constraint(cand, inserted); !st) return st;
        } else {
            if (Status st = insert_inside(cand, found, inserted); !st) return st;
        }
        if (inserted) add_vertex_values(cand);
    }
    return ok_status();
}

// True when the candidate lies on a vertex, or within the merge distance of
// a corner of the triangle or the edge that holds it.
[[gnu::always_inline]] inline bool Refiner::near_a_vertex(const Candidate& cand,
                                                          const Location& found) const {
    const FaceHandle loc = found.face;
    const int li = found.index;
    if (found.type == Cdt::VERTEX) return true;
    if (found.type == Cdt::EDGE) {
        const Point& o = loc->vertex(Cdt::ccw(li))->point();
        const Point& d = loc->vertex(Cdt::cw(li))->point();
        return squared_distance(cand.x, cand.y, o.x(), o.y()) <= merge2_ ||
               squared_distance(cand.x, cand.y, d.x(), d.y()) <= merge2_;
    }
    if (found.type == Cdt::FACE) {
        for (int k = 0; k < 3; ++k) {
            const Point& c = loc->vertex(k)->point();
            if (squared_distance(cand.x, cand.y, c.x(), c.y()) <= merge2_) return true;
        }
    }
    return false;
}

// Splits the constrained edge of the candidate at its point, unless an
// earlier candidate split it already. `inserted` when the point is a new
// vertex.
[[gnu::always_inline]] inline Status Refiner::insert_on_constraint(const Candidate& cand,
                                                                   bool& inserted) {
    const VertexHandle from = vertices_[cand.from];
    const VertexHandle to = vertices_[cand.to];
    FaceHandle ef;
    int ei = 0;
    if (!cdt_.is_edge(from, to, ef, ei) || !ef->is_constrained(ei)) return ok_status();
    cdt_.remove_constrained_edge(ef, ei);
    if (!acceptable(cand.x, cand.y)) return Error::value(kTinInvalidBoundary);
    const VertexHandle w = cdt_.insert(Point(cand.x, cand.y), from->face());
    inserted = w->info().id == kNone;
    if (inserted) {
        if (Status st = register_vertex(w); !st) return st;
    }
    if (w != from) {
        if (Status st = constrain(from, w); !st) return st;
    }
    if (w != to) {
        if (Status st = constrain(w, to); !st) return st;
    }
    return ok_status();
}

// Inserts the candidate's point where it was found. `inserted` when it is a
// new vertex.
[[gnu::always_inline]] inline Status Refiner::insert_inside(const Candidate& cand,
                                                            const Location& found, bool& inserted) {
    if (!acceptable(cand.x, cand.y)) return Error::value(kTinInvalidBoundary);
    const VertexHandle w = cdt_.insert(Point(cand.x, cand.y), found.type, found.face, found.index);
    if (w->info().id != kNone) return ok_status();
    inserted = true;
    if (Status st = register_vertex(w); !st) return st;
    // The sample is now a vertex: the next pass would find it there and
    // exclude it.
    if (cand.sample != kNoIndex && !options_.locate_every_sample) {
        sample_face_[cand.sample] = kExcludedSample;
    }
    return ok_status();
}

// The surfaces' values at a new vertex: a fit candidate's own value on its
// surface, the grid's elsewhere.
[[gnu::always_inline]] inline void Refiner::add_vertex_values(const Candidate& cand) {
    for (std::size_t s = 0; s < surfaces_.size(); ++s) {
        const bool own = cand.kind == CandidateKind::SurfaceFit && cand.surface == s;
        values_[s].push_back(
            own ? cand.z : StructuredGrid::query(*surfaces_[s].grid, cand.x, cand.y, true).value);
    }
}

}  // namespace orvik::tin
