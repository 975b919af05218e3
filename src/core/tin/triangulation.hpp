// The triangulation under the refinement: CGAL's constrained Delaunay
// triangulation with an id in every face and vertex, faces that note when
// CGAL changes them, and point location. Private to the TIN unit: only its
// own sources include this header, and CGAL's headers and flags reach no
// other unit.
#pragma once

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Constrained_triangulation_face_base_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "tin/ids.hpp"

namespace orvik::tin {

// The coordinates the triangulation accepts: NaN never, 0 always, any other
// value when its magnitude lies in [kMinCoordinate, kMaxCoordinate], that is
// [2^-142, 2^201]. That is the range in which exact orientation and in-circle
// predicates computed with double-precision expansions neither overflow
// (above 2^201) nor underflow (below 2^-142): the acceptance rule of the
// robust triangulators built on them. CGAL's exact kernel would cope with
// more, but the rule is part of the result: a boundary coordinate outside it
// makes the boundary invalid, and so does a candidate point that falls
// outside it during the refinement (acceptable() below).
inline constexpr double kMaxCoordinate = 3.2138760885179806e+60;  // 2^201
inline constexpr double kMinCoordinate = 1.793662034335766e-43;   // 2^-142
static_assert(kMaxCoordinate == 0x1p201 && kMinCoordinate == 0x1p-142);

inline bool acceptable(double c) {
    const double a = std::fabs(c);
    return !std::isnan(c) && a <= kMaxCoordinate && (a == 0.0 || a >= kMinCoordinate);
}

inline bool acceptable(double x, double y) {
    return acceptable(x) && acceptable(y);
}

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
inline thread_local std::vector<void*>* t_touched_faces = nullptr;

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

// Installs a list of touched faces for the current thread.
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
inline constexpr int kEdgeOrder[3] = {2, 0, 1};

// Where a point lies: in face (FACE), on the edge opposite corner `index`
// (EDGE), at corner `index` (VERTEX), or outside (the other locate types).
struct Location {
    FaceHandle face;
    Cdt::Locate_type type;
    int index;
    bool known;
};

// Walks from face `start` towards the point across edges that surely
// separate them. `known` is false when an orientation could not be settled
// cheaply, the walk met the hull or ran long; `face` is the face reached.
Location walk(const Cdt& cdt, FaceHandle start, double px, double py);

// Where the point lies: the walk, and CGAL's exact location from where the
// walk stopped when it could not tell.
Location locate(const Cdt& cdt, FaceHandle start, double px, double py);

}  // namespace orvik::tin
