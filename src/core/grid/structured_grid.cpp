#include "grid/structured_grid.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "grid/cell_lanes.hpp"

namespace orvik {
namespace {

using namespace grid_cells;

std::string shape_text(const StridedView<double, 2>& a) {
    std::string text = "(";
    text += std::to_string(a.shape[0]);
    text += ", ";
    text += std::to_string(a.shape[1]);
    text += ")";
    return text;
}

// Row-major copies of the three arrays, node by node; nothing when their
// shapes differ, since such a grid is refused right after.
std::vector<GridNode> copy_nodes(const StridedView<double, 2>& x, const StridedView<double, 2>& y,
                                 const StridedView<double, 2>& values) {
    std::vector<GridNode> out;
    if (x.shape != y.shape || x.shape != values.shape) return out;
    out.reserve(static_cast<std::size_t>(x.shape[0] * x.shape[1]));
    for (std::ptrdiff_t i = 0; i < x.shape[0]; ++i) {
        for (std::ptrdiff_t j = 0; j < x.shape[1]; ++j) {
            out.push_back({x.at(i, j), y.at(i, j), values.at(i, j)});
        }
    }
    return out;
}

}  // namespace

Result<StructuredGrid> StructuredGrid::build(const StridedView<double, 2>& x,
                                             const StridedView<double, 2>& y,
                                             const StridedView<double, 2>& values) {
    StructuredGrid g;
    g.nodes = copy_nodes(x, y, values);

    if (x.shape != y.shape || x.shape != values.shape) {
        return Error::value("x, y and values must have the same shape; got " + shape_text(x) +
                            ", " + shape_text(y) + " and " + shape_text(values));
    }
    if (x.shape[0] < 2 || x.shape[1] < 2) {
        return Error::value("grid must have at least two rows and columns; got " +
                            std::to_string(x.shape[0]) + "x" + std::to_string(x.shape[1]));
    }
    g.m = static_cast<std::size_t>(x.shape[0]);
    g.n = static_cast<std::size_t>(x.shape[1]);
    const std::size_t count = g.m * g.n;

    double sum_x = 0.0, sum_y = 0.0;
    for (const GridNode& node : g.nodes) {
        sum_x += node.x;
        sum_y += node.y;
    }
    const double total = static_cast<double>(count);
    g.centroid[0] = sum_x / total;
    g.centroid[1] = sum_y / total;
    g.index_centre[0] = static_cast<double>(g.m - 1) * 0.5;
    g.index_centre[1] = static_cast<double>(g.n - 1) * 0.5;

    double sxx = 0.0, syy = 0.0, sxy = 0.0, six = 0.0, siy = 0.0, sjx = 0.0, sjy = 0.0;
    for (std::size_t i = 0; i < g.m; ++i) {
        const double di = static_cast<double>(i) - g.index_centre[0];
        for (std::size_t j = 0; j < g.n; ++j) {
            const double dj = static_cast<double>(j) - g.index_centre[1];
            const double dx = g.nodes[i * g.n + j].x - g.centroid[0];
            const double dy = g.nodes[i * g.n + j].y - g.centroid[1];
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
            six += di * dx;
            siy += di * dy;
            sjx += dj * dx;
            sjy += dj * dy;
        }
    }
    const double det = sxx * syy - sxy * sxy;
    if (det == 0.0) return Error::value("grid nodes are collinear");

    g.index_gradient[0] = (syy / det) * six + (-sxy / det) * siy;  // di/dx
    g.index_gradient[1] = (syy / det) * sjx + (-sxy / det) * sjy;  // dj/dx
    g.index_gradient[2] = (sxx / det) * siy + (-sxy / det) * six;  // di/dy
    g.index_gradient[3] = (sxx / det) * sjy + (-sxy / det) * sjx;  // dj/dy
    return g;
}

// At the start of a cache line: where this loop's code falls relative to
// 64-byte lines changed its speed by a quarter from one build to the next.
[[gnu::aligned(64)]] GridSample StructuredGrid::query(const StructuredGrid& g, double x, double y,
                                                      bool clamp) {
    const std::size_t last_t = g.m - 2;
    const std::size_t last_u = g.n - 2;
    std::size_t t = 0, u = 0;
    start_cell(g, x, y, t, u);

    CellLanes<double> c;
    set_cell(g, c, 0, t, u);
    load_cell(g, c);
    Local<double> loc = invert(c, x, y);
    const std::size_t max_moves = g.m + g.n;
    for (std::size_t moves = 0; moves < max_moves; ++moves) {
        const int dt = step_of(loc.s, t, last_t);
        const int du = step_of(loc.r, u, last_u);
        if (dt == 0 && du == 0) break;
        t = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(t) + dt);
        u = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(u) + du);
        set_cell(g, c, 0, t, u);
        load_cell(g, c);
        loc = invert(c, x, y);
    }

    const bool outside = !(in_band(loc.s) && in_band(loc.r));
    if (outside && !clamp) return {std::numeric_limits<double>::quiet_NaN(), true};
    load_values(g, c);
    return {bilinear(unit_clamp(loc.s), unit_clamp(loc.r), c.v), outside};
}

void StructuredGrid::query_values(const StructuredGrid& grid, const StridedView<double, 1>& x,
                                  const StridedView<double, 1>& y, bool clamp,
                                  const MutableStridedView<double, 1>& values) {
    const std::ptrdiff_t count = x.size();
    std::ptrdiff_t k = 0;
#if defined(__SSE2__)
    // Four points at a time. The cells of a point some places ahead are
    // fetched meanwhile: even points in order miss the cache on the grid's
    // rows.
    constexpr std::ptrdiff_t kAhead = 32;
    for (; k + 4 <= count; k += 4) {
        if (k + kAhead < count) {
            std::size_t t = 0, u = 0;
            start_cell(grid, x.at(k + kAhead), y.at(k + kAhead), t, u);
            const GridNode* row0 = &grid.nodes[t * grid.n + u];
            __builtin_prefetch(row0);
            __builtin_prefetch(row0 + grid.n);
            __builtin_prefetch(row0 + grid.n + 2);
        }
        const double px[4] = {x.at(k), x.at(k + 1), x.at(k + 2), x.at(k + 3)};
        const double py[4] = {y.at(k), y.at(k + 1), y.at(k + 2), y.at(k + 3)};
        double out[4];
        const unsigned steps = quad_values<lanes::D2>(grid, px, py, clamp, out);
        for (int l = 0; l < 4; ++l) values.at(k + l) = out[l];
        // Rare: a start cell next to the right one.
        for (int l = 0; l < 4; ++l) {
            if ((steps >> l) & 1) values.at(k + l) = query(grid, px[l], py[l], clamp).value;
        }
    }
#endif
    for (; k < count; ++k) {
        CellLanes<double> c;
        std::size_t t = 0, u = 0;
        start_cell(grid, x.at(k), y.at(k), t, u);
        set_cell(grid, c, 0, t, u);
        load_cell(grid, c);
        load_values(grid, c);
        double value = 0.0;
        const bool on_corner = corner(c, x.at(k), y.at(k), value) != 0;
        values.at(k) = on_corner ? value : query(grid, x.at(k), y.at(k), clamp).value;
    }
}

bool StructuredGrid::query_many(const StructuredGrid& grid, const StridedView<double, 1>& x,
                                const StridedView<double, 1>& y, bool clamp, double* out_values,
                                std::uint8_t* out_outside, const Interrupt& stop) {
    const std::ptrdiff_t count = x.size();
    // Scattered points miss the cache on almost every cell: fetch the start
    // cell of a point a few places ahead while this one is computed.
    constexpr std::ptrdiff_t kAhead = 8;
    constexpr std::ptrdiff_t kBlock = 1 << 14;  // points between two stop polls
    return for_each_block(count, kBlock, stop, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t k = begin; k < end; ++k) {
            if (k + kAhead < count) {
                std::size_t t = 0, u = 0;
                start_cell(grid, x.at(k + kAhead), y.at(k + kAhead), t, u);
                const GridNode* row0 = &grid.nodes[t * grid.n + u];
                __builtin_prefetch(row0);
                __builtin_prefetch(row0 + 1);
                __builtin_prefetch(row0 + grid.n);
                __builtin_prefetch(row0 + grid.n + 1);
            }
            const GridSample q = query(grid, x.at(k), y.at(k), clamp);
            out_values[k] = q.value;
            out_outside[k] = q.outside ? 1 : 0;
        }
    });
}

}  // namespace orvik
