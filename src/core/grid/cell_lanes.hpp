// The cells of a structured grid: the bilinear map of a cell, its exact
// inversion and the interpolation, written once for one point (double) and
// for lanes of points (common/lanes.hpp): each lane computes what one point
// computes, in the same order. Private to the grid unit; in namespace
// ORVIK_ISA like the lanes (common/isa.hpp).
#pragma once

#include <cstddef>
#include <limits>

#include "common/lanes.hpp"
#include "grid/structured_grid.hpp"

namespace orvik::grid_cells {
inline namespace ORVIK_ISA {

// A point belongs to a cell when its fractions lie in [kLow, kHigh].
inline constexpr double kLow = -1e-9;
inline constexpr double kHigh = 1.000000001;

// floor(f) as a cell index in [0, last]: NaN and negatives give 0, huge values `last`.
// floor(f) > 0 exactly when f >= 1, floor(f) >= last (an integer) exactly when
// f >= last, and between the two truncation is floor: no call to floor.
inline std::size_t start_index(double f, std::size_t last) {
    if (!(f >= 1.0)) return 0;
    if (f >= static_cast<double>(last)) return last;
    return static_cast<std::size_t>(f);
}

// The cells of the lanes' points and their corners' differences.
template <class D>
struct CellLanes {
    static constexpr int kWidth = lanes::width<D>;
    std::size_t t[kWidth], u[kWidth];  // each lane's cell
    const GridNode* row0[kWidth];      // and its first corner
    D x00, y00, ex, ey, fx, fy, gx, gy;
    D v[4];  // the values at the corners: (0, 0), (0, 1), (1, 0), (1, 1)
};

// Field `m` of the node `at` nodes past each lane's first corner.
template <class D>
[[gnu::always_inline]] inline D node_field(const CellLanes<D>& c, std::size_t at,
                                           double GridNode::*m) {
    const double* p[CellLanes<D>::kWidth];
    for (int l = 0; l < CellLanes<D>::kWidth; ++l) p[l] = &(c.row0[l][at].*m);
    return lanes::gather<D>(p);
}

// The corners' differences of the cells whose first corners are c.row0.
template <class D>
[[gnu::always_inline]] inline void load_cell(const StructuredGrid& g, CellLanes<D>& c) {
    const std::size_t n = g.n;
    c.x00 = node_field(c, 0, &GridNode::x);
    c.y00 = node_field(c, 0, &GridNode::y);
    c.ex = node_field(c, n, &GridNode::x) - c.x00;
    c.ey = node_field(c, n, &GridNode::y) - c.y00;
    c.fx = node_field(c, 1, &GridNode::x) - c.x00;
    c.fy = node_field(c, 1, &GridNode::y) - c.y00;
    c.gx = ((node_field(c, n + 1, &GridNode::x) - c.x00) - c.ex) - c.fx;
    c.gy = ((node_field(c, n + 1, &GridNode::y) - c.y00) - c.ey) - c.fy;
}

template <class D>
[[gnu::always_inline]] inline void load_values(const StructuredGrid& g, CellLanes<D>& c) {
    const std::size_t at[4] = {0, 1, g.n, g.n + 1};
    for (int k = 0; k < 4; ++k) c.v[k] = node_field(c, at[k], &GridNode::value);
}

// +1 or -1 by the sign bit (zeros included), NaN for NaN.
template <class D>
inline D sign_of(D b) {
    return lanes::select(lanes::is_nan(b), b, lanes::xor_sign(lanes::splat<D>(1.0), b));
}

// Clamp to [0, 1] that lets a NaN through.
template <class D>
inline D unit_clamp(D v) {
    const D zero = lanes::splat<D>(0.0), one = lanes::splat<D>(1.0);
    v = lanes::select(lanes::lt(v, zero), zero, v);
    return lanes::select(lanes::gt(v, one), one, v);
}

template <class D>
inline auto in_band(D f) {
    return lanes::both(lanes::ge(f, lanes::splat<D>(kLow)), lanes::le(f, lanes::splat<D>(kHigh)));
}

// The value at fractions s (rows) and r (columns) of the cell.
template <class D>
inline D bilinear(D s, D r, const D* v) {
    const D one = lanes::splat<D>(1.0);
    return ((((one - r) * (one - s)) * v[0] + ((one - s) * r) * v[1]) + (s * (one - r)) * v[2]) +
           (r * s) * v[3];
}

template <class D>
struct Local {
    D s;  // fraction from row t towards row t + 1
    D r;  // fraction from column u towards column u + 1
};

// Exact inversion of the bilinear map of the cell.
template <class D>
[[gnu::always_inline]] inline Local<D> invert(const CellLanes<D>& c, D px, D py) {
    using lanes::splat;
    const D hx = px - c.x00, hy = py - c.y00;
    const D b = (c.ex * c.fy - c.ey * c.fx) - (hx * c.gy - hy * c.gx);
    const D k = c.ex * c.gy - c.ey * c.gx;
    const D c0 = hx * c.fy - hy * c.fx;
    const D disc = (k * splat<D>(4.0)) * c0 + b * b;
    // The root of K s^2 + B s - C0 = 0 that stays exact when K is 0.
    // max(disc, 0), a NaN giving 0. disc is never -0 (b * b is not, and
    // rounding to nearest cancels to +0), so no zero changes sign here.
    const D zero = splat<D>(0.0);
    const D root = lanes::sqrt(lanes::select(lanes::gt(disc, zero), disc, zero));
    const D s = c0 / ((root * sign_of(b) + b) * splat<D>(0.5));
    const D dx = c.gx * s + c.fx;
    const D dy = c.gy * s + c.fy;
    const D r = ((hy - c.ey * s) * dy + (hx - c.ex * s) * dx) / (dy * dy + dx * dx);
    return {s, r};
}

// The value at points that sit exactly on the first corner of their cell,
// as query() computes it, but without its divisions and square root: such a
// point inverts to s and r of zero, signed as the divisions would sign them.
// Bit l is set when lane l's `value` is sure; it is not for a point
// elsewhere or a degenerate or extreme cell, which query() handles.
template <class D>
[[gnu::always_inline]] inline unsigned corner(const CellLanes<D>& c, D px, D py, D& value) {
    using lanes::splat;
    auto ok = lanes::both(lanes::eq(px, c.x00), lanes::eq(py, c.y00));
    if (lanes::bits(ok) == 0) return 0;
    const D zero = splat<D>(0.0);
    const D hx = px - c.x00, hy = py - c.y00;  // +0 both
    const D b = (c.ex * c.fy - c.ey * c.fx) - (hx * c.gy - hy * c.gx);
    const D k = c.ex * c.gy - c.ey * c.gx;
    // A finite b makes every difference above finite, so c0 is a signed
    // zero; with |b| and |k| in these bounds, disc = b * b, and s = c0 over
    // a finite divisor of b's sign: -0 where their signs differ.
    const D c0 = hx * c.fy - hy * c.fx;
    const D size = lanes::abs(b);
    ok = lanes::both(
        ok, lanes::both(lanes::gt(size, splat<D>(1e-150)), lanes::lt(size, splat<D>(1e150))));
    ok = lanes::both(ok, lanes::lt(lanes::abs(k), splat<D>(1e300)));
    const D s = lanes::xor_sign(lanes::xor_sign(zero, c0), b);
    const D dx = c.gx * s + c.fx;
    const D dy = c.gy * s + c.fy;
    // A signed zero over a positive finite divisor: itself.
    const D r = (hy - c.ey * s) * dy + (hx - c.ex * s) * dx;
    const D norm = dy * dy + dx * dx;
    ok =
        lanes::both(ok, lanes::both(lanes::gt(norm, zero),
                                    lanes::le(norm, splat<D>(std::numeric_limits<double>::max()))));
    // unit_clamp would leave these signed zeros as they are.
    value = bilinear(s, r, c.v);
    return lanes::bits(ok);
}

inline int step_of(double f, std::size_t idx, std::size_t last) {
    if (f < kLow && idx > 0) return -1;
    if (f > kHigh && idx < last) return 1;
    return 0;
}

// The cell where the walk starts, from the affine guess.
inline void start_cell(const StructuredGrid& g, double x, double y, std::size_t& t,
                       std::size_t& u) {
    const double dx = x - g.centroid[0];
    const double dy = y - g.centroid[1];
    const double fi = (g.index_gradient[2] * dy + g.index_gradient[0] * dx) + g.index_centre[0];
    const double fj = (g.index_gradient[3] * dy + g.index_gradient[1] * dx) + g.index_centre[1];
    t = start_index(fi, g.m - 2);
    u = start_index(fj, g.n - 2);
}

// Lane l's cell: (t, u).
template <class D>
inline void set_cell(const StructuredGrid& g, CellLanes<D>& c, int l, std::size_t t,
                     std::size_t u) {
    c.t[l] = t;
    c.u[l] = u;
    c.row0[l] = &g.nodes[t * g.n + u];
}

// The lanes whose walk would leave their start cell, one bit each.
template <class D>
inline unsigned walking(const StructuredGrid& g, const CellLanes<D>& c, const Local<D>& loc) {
    const D low = lanes::splat<D>(kLow), high = lanes::splat<D>(kHigh);
    const unsigned s_low = lanes::bits(lanes::lt(loc.s, low));
    const unsigned s_high = lanes::bits(lanes::gt(loc.s, high));
    const unsigned r_low = lanes::bits(lanes::lt(loc.r, low));
    const unsigned r_high = lanes::bits(lanes::gt(loc.r, high));
    unsigned steps = 0;
    for (int l = 0; l < CellLanes<D>::kWidth; ++l) {
        const unsigned bit = 1u << l;
        const bool move = ((s_low & bit) && c.t[l] > 0) || ((s_high & bit) && c.t[l] < g.m - 2) ||
                          ((r_low & bit) && c.u[l] > 0) || ((r_high & bit) && c.u[l] < g.n - 2);
        if (move) steps |= bit;
    }
    return steps;
}

// Four points at a time in lanes of type D, into out[0..3]. Returns the
// points whose walk leaves the start cell (bit l for point l), which the
// caller gives to query().
template <class D>
[[gnu::always_inline]] inline unsigned quad_values(const StructuredGrid& g, const double* px,
                                                   const double* py, bool clamp, double* out) {
    constexpr int kWidth = CellLanes<D>::kWidth, kGroups = 4 / kWidth;
    CellLanes<D> c[kGroups];
    D x[kGroups], y[kGroups], value[kGroups];
    for (int q = 0; q < kGroups; ++q) {
        for (int l = 0; l < kWidth; ++l) {
            std::size_t t = 0, u = 0;
            start_cell(g, px[kWidth * q + l], py[kWidth * q + l], t, u);
            set_cell(g, c[q], l, t, u);
        }
        load_cell(g, c[q]);
        load_values(g, c[q]);
        x[q] = lanes::load<D>(px + kWidth * q);
        y[q] = lanes::load<D>(py + kWidth * q);
    }
    // Points on grid nodes, the usual samples, need no inversion.
    unsigned on_corner = 0;
    for (int q = 0; q < kGroups; ++q)
        on_corner |= corner(c[q], x[q], y[q], value[q]) << (kWidth * q);
    unsigned steps = 0;
    if (on_corner != 0xFu) {
        // Several independent chains of divisions and square roots in flight.
        for (int q = 0; q < kGroups; ++q) {
            const Local<D> loc = invert(c[q], x[q], y[q]);
            value[q] = bilinear(unit_clamp(loc.s), unit_clamp(loc.r), c[q].v);
            if (!clamp) {
                const D nan = lanes::splat<D>(std::numeric_limits<double>::quiet_NaN());
                value[q] =
                    lanes::select(lanes::both(in_band(loc.s), in_band(loc.r)), value[q], nan);
            }
            steps |= walking(g, c[q], loc) << (kWidth * q);
        }
    }
    for (int q = 0; q < kGroups; ++q) lanes::store(out + kWidth * q, value[q]);
    return steps;
}

}  // namespace ORVIK_ISA
}  // namespace orvik::grid_cells
