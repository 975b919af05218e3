// Adaptive triangulated irregular network: a constrained Delaunay
// triangulation of a polygon, refined until linear interpolation over its
// triangles fits gridded surfaces within vertical tolerances.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "grid/structured_grid.hpp"

namespace orvik {

struct TinPoint {
    double x;
    double y;
};

struct TinSample {
    double x;
    double y;
    double z;  // the surface's clamped value at (x, y), computed once
};

struct TinSurface {
    const StructuredGrid* grid = nullptr;  // read-only; outlives the call
    std::vector<TinSample> samples;
    double boundary_spacing = 0.0;
    double tolerance = 0.0;
};

struct TinResult {
    std::vector<double> vertices;         // V x 2: x, y per vertex in index order
    std::vector<std::int64_t> triangles;  // T x 3: counter-clockwise inside triangles
};

inline constexpr const char* kTinInvalidBoundary =
    "boundary must be a simple polygon with at least three vertices";
inline constexpr const char* kTinNonPositiveParameter =
    "tolerances, boundary spacings and max_edge must be positive";
inline constexpr const char* kTinTooLarge =
    "triangulation would outgrow 32-bit vertex or face indices";
// Splitting only shortens boundary edges, so the input outline bounds the test
// points of every iteration; beyond this many per edge a call would run for hours.
inline constexpr double kTinMaxBoundaryTestPoints = 1e8;
inline constexpr const char* kTinSpacingTooSmall =
    "boundary_spacing is too small: a boundary edge would need more than 100000000 test points";

// Pure function over plain data; no Python, no shared state. Failures are
// value errors with one of the messages above, or the interrupted error once
// `stop` asked to end the refinement.
Result<TinResult> adaptive_tin(const std::vector<TinPoint>& boundary,
                               const std::vector<TinSurface>& surfaces,
                               std::optional<double> max_edge, const Interrupt& stop = {});

}  // namespace orvik
