// The refinement behind adaptive_tin: its state and its steps, whose
// definitions live in one file per purpose (see each group below). Private
// to the TIN unit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "tin/adaptive_tin.hpp"
#include "tin/chunked_vector.hpp"
#include "tin/measured_face.hpp"
#include "tin/records.hpp"
#include "tin/refine_options.hpp"
#include "tin/sample_pass.hpp"
#include "tin/triangulation.hpp"

namespace orvik::tin {

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
    // adaptive_tin.cpp: the driver.
    Status validate() const;
    Status build_boundary();
    Status check_spacing() const;
    Status register_vertex(VertexHandle v);
    void prepare();
    TinResult result();

    // face_ids.cpp: face ids, their refresh after CGAL's changes, the scans
    // and the numbering of new faces.
    Status refresh_faces();
    void scan_all_faces();
    bool scan_touched_faces();
    Status number_fresh_faces();
    void note_face(FaceHandle f, bool was_live);
    void mark_changed(std::uint32_t id);
    void sort_ids(std::vector<std::uint32_t>& ids);
    std::uint32_t spatial_key(FaceHandle f) const;

    // measure.cpp: the sample pass (the kernel of sample_pass.cpp) and its
    // calls out of the kernel.
    void sample_pass();
    void load_measured(std::size_t s, FaceHandle f, MeasuredFace& m);
    friend bool poll_stop(Refiner& refiner, std::size_t units);
    friend const void* locate_sample(Refiner& refiner, std::size_t s, double x, double y,
                                     const void* start, std::uint32_t old, const void* loaded,
                                     MeasuredFace& m);
    friend void note_misfit(Refiner& refiner, std::uint32_t id);

    // candidates.cpp: the points to insert, and their insertion.
    void fit_candidates();
    void boundary_candidates();
    bool edge_candidate(VertexHandle va, VertexHandle vb, Candidate& cand, bool& chosen);
    void edge_candidates();
    Status insert_candidates();
    bool near_a_vertex(const Candidate& cand, const Location& found) const;
    Status insert_on_constraint(const Candidate& cand, bool& inserted);
    Status insert_inside(const Candidate& cand, const Location& found, bool& inserted);
    void add_vertex_values(const Candidate& cand);
    Status constrain(VertexHandle a, VertexHandle b);

    // inside_faces.cpp: which faces lie inside the boundary.
    void classify();
    bool constraints_are_the_hull() const;

    Location locate(FaceHandle start, double px, double py) const {
        return tin::locate(cdt_, start, px, py);
    }
    // A finite face at the last refresh.
    bool live(std::size_t id) const { return faces_[id].live; }
    bool inside(FaceHandle f) const { return hull_only_ || (f->info().visited && f->info().odd); }
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
    double extent_[2] = {0.0, 0.0};         // see prepare()

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
    std::vector<MeasuredFace> recent_ = std::vector<MeasuredFace>(kRecentColumns);
    std::vector<std::uint8_t> recent_used_ = std::vector<std::uint8_t>(kRecentColumns);

    std::vector<Candidate> candidates_;
    std::vector<FaceHandle> queue_;

    // The test points of a boundary edge, a run at a time, with the grid's
    // values at them.
    static constexpr std::size_t kTestRun = 256;
    std::vector<TinSample> test_points_ = std::vector<TinSample>(kTestRun);
    StridedView<double, 1> test_field(std::size_t offset, std::size_t count) const;
    MutableStridedView<double, 1> test_values(std::size_t count);
    // At the last classify(): the constrained edges are exactly the hull's,
    // so every finite face is inside.
    bool hull_only_ = false;
    double merge2_ = 0.0;
};

}  // namespace orvik::tin
