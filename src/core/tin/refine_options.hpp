// Switches that turn off the refinement's shortcuts, for tests and the fuzz
// harness: a shortcut must never change the result, so a run without it must
// give the same vertices and triangles bit for bit.
#pragma once

#include <optional>
#include <vector>

#include "tin/adaptive_tin.hpp"

namespace orvik {

struct RefineOptions {
    // Compare every face with what its id stood for at each refresh, instead
    // of only the faces CGAL touched and the new ones.
    bool scan_every_face = false;
    // Locate every sample to be measured exactly, instead of trusting the
    // filtered test against the triangles measured last.
    bool locate_every_sample = false;
    // Test every constrained edge for a boundary point at each pass, instead
    // of skipping the edges that needed none before.
    bool test_every_boundary_edge = false;
    // Find which faces lie inside by the search from the hull even when the
    // constraints are the hull itself.
    bool search_inside_faces = false;
    // Run the sample pass's baseline build (SSE2 pairs on x86-64) even where
    // the processor has AVX2.
    bool baseline_lanes = false;
};

Result<TinResult> adaptive_tin(const std::vector<TinPoint>& boundary,
                               const std::vector<TinSurface>& surfaces,
                               std::optional<double> max_edge, const RefineOptions& options,
                               const Interrupt& stop = {});

}  // namespace orvik
