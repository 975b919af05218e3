// The sample pass's side outside its kernel: the choice of the pass's
// build, and what it asks of the triangulation (the stop polls, exact
// location, the loading of a triangle) and of the face records (the misfits
// it offers).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "common/isa.hpp"
#include "tin/refiner.hpp"
#include "tin/sample_pass.hpp"

namespace orvik::tin {
namespace {

using SamplePassFn = void (*)(PassView&);
const isa::Builds<SamplePassFn> kSamplePass ORVIK_BUILDS(orvik, sample_pass);

// Shewchuk's first-stage bound for the orientation form, (3 + 16 eps) eps
// rounded up, for products of at most `m`; slack covers the rounding of `m`
// itself. Near underflow relative bounds fail: nothing is certified.
double edge_bound(double m) {
    if (!(m >= 1e-250)) return std::numeric_limits<double>::infinity();
    return 3.3306690738754738e-16 * (m * (1.0 + 1e-9));
}

}  // namespace

void Refiner::sample_pass() {
    PassView view{this,
                  &surfaces_,
                  sample_face_.data(),
                  sample_offset_.data(),
                  changed_.data(),
                  recent_.data(),
                  recent_used_.data(),
                  kRecentColumns,
                  box_[0],
                  box_[2],
                  &*vertices_[0]->face(),
                  !options_.locate_every_sample};
    const isa::Level ceiling = options_.baseline_lanes ? isa::Level::Baseline : isa::Level::Avx2;
    kSamplePass.choose(ceiling)(view);
}

// Face f and surface s's values at its corners into m.
[[gnu::always_inline]] inline void Refiner::load_measured(std::size_t s, FaceHandle f,
                                                          MeasuredFace& m) {
    const std::vector<double>& values = values_[s];
    const VertexHandle va = f->vertex(0), vb = f->vertex(1), vc = f->vertex(2);
    m.face = &*f;
    m.id = f->info().id;
    FaceRecord& record = faces_[m.id];
    m.worst = &record.worst;
    // Misfits and blocks read the record; the next samples most likely lie
    // in a neighbour. Both lie elsewhere in memory.
    __builtin_prefetch(&record);
    for (int k = 0; k < 3; ++k) __builtin_prefetch(&*f->neighbor(k));
    m.corner = va->info().id;
    TriangleLanes<double>& t = m.t;
    t.xa = va->point().x();
    t.ya = va->point().y();
    t.xb = vb->point().x();
    t.yb = vb->point().y();
    const double xc = vc->point().x(), yc = vc->point().y();
    t.za = values[m.corner];
    t.zb = values[vb->info().id];
    t.zc = values[vc->info().id];
    t.cax = xc - t.xa;
    t.cay = yc - t.ya;
    t.bax = t.xb - t.xa;
    t.bay = t.yb - t.ya;
    t.cbx = xc - t.xb;
    t.cby = yc - t.yb;
    t.det = t.bax * t.cay - t.bay * t.cax;
    // Over a box that holds every sample and vertex, |x - any corner's x| <= w
    // and |y - any corner's y| <= h.
    const double w = extent_[0], h = extent_[1];
    t.bound[0] = edge_bound(h * std::fabs(t.cbx) + w * std::fabs(t.cby));
    t.bound[1] = edge_bound(w * std::fabs(t.cay) + h * std::fabs(t.cax));
    t.bound[2] = edge_bound(h * std::fabs(t.bax) + w * std::fabs(t.bay));
}

bool poll_stop(Refiner& refiner, std::size_t units) {
    return refiner.stopping(units);
}

const void* locate_sample(Refiner& refiner, std::size_t s, double x, double y, const void* start,
                          std::uint32_t old, const void* loaded, MeasuredFace& m) {
    const Cdt& cdt = refiner.cdt_;
    FaceHandle from(static_cast<Face*>(const_cast<void*>(start)));
    if (old != kNone) {
        const FaceHandle slot = refiner.faces_[old].handle;
        if (cdt.tds().faces().is_used(slot)) from = slot;
    }
    const Location loc = locate(cdt, from, x, y);
    FaceHandle f = loc.face;
    if (loc.type == Cdt::EDGE) {
        const FaceHandle other = f->neighbor(loc.index);
        if (cdt.is_infinite(f) || (!cdt.is_infinite(other) && other->info().id < f->info().id)) {
            f = other;
        }
        if (cdt.is_infinite(f)) return nullptr;
    } else if (loc.type != Cdt::FACE) {
        return nullptr;
    }
    if (&*f != loaded) refiner.load_measured(s, f, m);
    return &*f;
}

void note_misfit(Refiner& refiner, std::uint32_t id) {
    refiner.misfits_.push_back(id);
}

}  // namespace orvik::tin
