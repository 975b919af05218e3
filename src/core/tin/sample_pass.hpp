// The sample pass: a kernel, built once per instruction set
// (sample_pass.cpp, common/isa.hpp). It sees the refinement through a plain
// view and calls out for what needs the triangulation, which it never
// includes: CGAL's headers bring initialisers and inline functions that
// must not be built for a wider set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/isa.hpp"
#include "tin/adaptive_tin.hpp"
#include "tin/measured_face.hpp"

namespace orvik::tin {

class Refiner;

// What a pass reads and writes.
struct PassView {
    Refiner* refiner;  // for the calls below
    const std::vector<TinSurface>* surfaces;
    std::uint32_t* sample_face;        // per sample: face id, kUnmeasured or kExcludedSample
    const std::size_t* sample_offset;  // per surface: the number of its first sample
    const std::uint8_t* changed;       // per wait_slot: the face changed at the last refresh
    // Per column of the boundary's box, the triangle last measured there.
    MeasuredFace* recent;
    std::uint8_t* recent_used;
    std::size_t columns;
    double column_origin, column_scale;  // min x, columns per unit of x
    const void* first_face;              // where the first location starts
    bool trust;                          // trust the filtered test against measured triangles
};

// The calls out of the kernel (measure.cpp). True once `stop` asked to end,
// counting `units` of work.
bool poll_stop(Refiner& refiner, std::size_t units);
// The face that holds (x, y), found from the face `start` or else from the
// slot of face `old` (kNone: none); null on a vertex or outside the hull.
// On an edge, the one of its two triangles of smaller id, so that the
// choice does not depend on where the walk began. Unless it is `loaded`,
// the face goes into m with surface s's values at its corners.
const void* locate_sample(Refiner& refiner, std::size_t s, double x, double y, const void* start,
                          std::uint32_t old, const void* loaded, MeasuredFace& m);
// Face `id` has its first misfit since it last changed.
void note_misfit(Refiner& refiner, std::uint32_t id);

}  // namespace orvik::tin

namespace orvik {

// Measures again every sample of every surface whose face changed at the
// last refresh, testing blocks of four samples in the widest double lanes
// of the build. Stops early when `stop` asks.
ORVIK_KERNEL(void sample_pass(tin::PassView& view))

}  // namespace orvik
