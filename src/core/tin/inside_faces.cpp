// Which faces lie inside the boundary: those that cross an odd number of
// constraints on the way in from the hull.
#include <cstddef>

#include "tin/refiner.hpp"

namespace orvik::tin {

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

}  // namespace orvik::tin
