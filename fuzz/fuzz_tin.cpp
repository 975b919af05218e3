// Boundaries (open, collinear, self-intersecting, repeated or non-finite
// points), surfaces with samples anywhere (outside the hull, on vertices,
// NaN) and any tolerances, spacings and max_edge into adaptive_tin. Refinement
// parameters are kept above a floor relative to the boundary's extent so that
// every run ends quickly; everything else is left as the binding passes it.
// The refinement without its shortcuts must give the same result bit for bit.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/strided.hpp"
#include "fuzz/fuzz_input.hpp"
#include "grid/structured_grid.hpp"
#include "tin/adaptive_tin.hpp"
#include "tin/refine_options.hpp"

namespace {

using orvik::fuzz::Input;

orvik::StridedView<double, 2> view(const std::vector<double>& v, std::ptrdiff_t m,
                                   std::ptrdiff_t n) {
    return orvik::StridedView<double, 2>::dense(v.data(), m, n);
}

// A (m x n) lattice over [-10, 10]^2 with fuzzed node values.
std::optional<orvik::StructuredGrid> grid(Input& in) {
    const std::ptrdiff_t m = 2 + in.byte() % 4, n = 2 + in.byte() % 4;
    std::vector<double> x(m * n), y(m * n), values(m * n);
    for (std::ptrdiff_t i = 0; i < m; ++i) {
        for (std::ptrdiff_t j = 0; j < n; ++j) {
            const std::size_t k = static_cast<std::size_t>(i * n + j);
            x[k] = -10.0 + 20.0 * static_cast<double>(j) / static_cast<double>(n - 1);
            y[k] = -10.0 + 20.0 * static_cast<double>(i) / static_cast<double>(m - 1);
            values[k] = in.f64();
        }
    }
    orvik::Result<orvik::StructuredGrid> g =
        orvik::StructuredGrid::build(view(x, m, n), view(y, m, n), view(values, m, n));
    if (!g.ok()) return std::nullopt;
    return std::move(g.value());
}

// Positive parameters get a floor so that refinement stays small; zero,
// negative and NaN values pass through to the validation.
double parameter(Input& in, double floor) {
    const double v = in.f64();
    if (v > 0.0 && v < floor) return floor;
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    std::vector<orvik::TinPoint> boundary;
    const std::size_t b = in.byte() % 9;
    for (std::size_t i = 0; i < b; ++i) boundary.push_back({in.f64(), in.f64()});

    double extent = 0.0;
    for (const auto& p : boundary) {
        if (std::isfinite(p.x) && std::isfinite(p.y))
            extent = std::max({extent, std::fabs(p.x), std::fabs(p.y)});
    }
    const double floor = std::max(extent, 1e-300) / 16.0;

    std::vector<orvik::StructuredGrid> grids;
    const std::size_t s = in.byte() % 3;
    for (std::size_t i = 0; i < s; ++i) {
        std::optional<orvik::StructuredGrid> g = grid(in);
        if (g) grids.push_back(std::move(*g));
    }
    std::vector<orvik::TinSurface> surfaces;
    for (const auto& g : grids) {
        orvik::TinSurface surface;
        surface.grid = &g;
        const std::size_t n = in.byte() % 9;
        for (std::size_t k = 0; k < n; ++k) {
            const double x = in.f64(), y = in.f64();
            surface.samples.push_back({x, y, orvik::StructuredGrid::query(g, x, y, true).value});
        }
        surface.boundary_spacing = parameter(in, floor);
        // Tolerances relative to the surface's own range would be nicer; a
        // floor keeps runs short whatever the values are.
        surface.tolerance = parameter(in, 1e-2);
        surfaces.push_back(std::move(surface));
    }
    std::optional<double> max_edge;
    if (in.byte() & 1) max_edge = parameter(in, floor);

    orvik::Result<orvik::TinResult> result = orvik::adaptive_tin(boundary, surfaces, max_edge);
    orvik::Result<orvik::TinResult> plain = orvik::adaptive_tin(
        boundary, surfaces, max_edge, orvik::RefineOptions{true, true, true, true, true});
    if (result.ok() != plain.ok()) __builtin_trap();
    if (!result.ok()) {
        if (result.error().message != plain.error().message) __builtin_trap();
        return 0;
    }
    const orvik::TinResult& tin = result.value();
    if (tin.vertices != plain.value().vertices || tin.triangles != plain.value().triangles) {
        __builtin_trap();
    }
    if (tin.vertices.size() % 2 != 0 || tin.triangles.size() % 3 != 0) __builtin_trap();
    const std::int64_t v = static_cast<std::int64_t>(tin.vertices.size() / 2);
    for (std::int64_t index : tin.triangles) {
        if (index < 0 || index >= v) __builtin_trap();
    }
    return 0;
}
