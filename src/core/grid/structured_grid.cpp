#include "grid/structured_grid.hpp"

#include <cmath>
#include <limits>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvik {
namespace {

constexpr double kLow = -1e-9;
constexpr double kHigh = 1.000000001;

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

// floor(f) as a cell index in [0, last]: NaN and negatives give 0, huge values `last`.
// floor(f) > 0 exactly when f >= 1, floor(f) >= last (an integer) exactly when
// f >= last, and between the two truncation is floor: no call to floor.
std::size_t start_index(double f, std::size_t last) {
    if (!(f >= 1.0)) return 0;
    if (f >= static_cast<double>(last)) return last;
    return static_cast<std::size_t>(f);
}

// +1 or -1 by the sign bit (zeros included), NaN for NaN.
double sign_of(double b) {
    return std::isnan(b) ? b : std::copysign(1.0, b);
}

// Clamp to [0, 1] that lets a NaN through.
double unit_clamp(double v) {
    if (v < 0.0) v = 0.0;
    if (v > 1.0) v = 1.0;
    return v;
}

struct Local {
    double s;  // fraction from row t towards row t + 1
    double r;  // fraction from column u towards column u + 1
};

// Exact inversion of the bilinear map of cell (t, u).
[[gnu::always_inline]] inline Local invert_cell(const StructuredGrid& g, std::size_t t,
                                                std::size_t u, double px, double py) {
    const GridNode* row0 = &g.nodes[t * g.n + u];
    const GridNode* row1 = row0 + g.n;
    const double x00 = row0[0].x, y00 = row0[0].y;
    const double ex = row1[0].x - x00, ey = row1[0].y - y00;
    const double fx = row0[1].x - x00, fy = row0[1].y - y00;
    const double gx = ((row1[1].x - x00) - ex) - fx;
    const double gy = ((row1[1].y - y00) - ey) - fy;
    const double hx = px - x00, hy = py - y00;

    const double b = (ex * fy - ey * fx) - (hx * gy - hy * gx);
    const double k = ex * gy - ey * gx;
    const double c0 = hx * fy - hy * fx;
    const double disc = (k * 4.0) * c0 + b * b;
    // The root of K s^2 + B s - C0 = 0 that stays exact when K is 0.
    // max(disc, 0), a NaN giving 0. disc is never -0 (b * b is not, and
    // rounding to nearest cancels to +0), so no zero changes sign here.
    const double root = std::sqrt(disc > 0.0 ? disc : 0.0);
    const double s = c0 / ((root * sign_of(b) + b) * 0.5);
    const double dx = gx * s + fx;
    const double dy = gy * s + fy;
    const double r = ((hy - ey * s) * dy + (hx - ex * s) * dx) / (dy * dy + dx * dx);
    return {s, r};
}

// The value at a point that sits exactly on the first corner of its start
// cell, as query() computes it, but without its divisions and square root
// (corner_pair() below is the same for two points at a time):
// such a point inverts to s and r of zero, signed as the divisions would sign
// them. False when that is not sure (a degenerate or extreme cell), and
// query() is needed.
bool corner_value(const StructuredGrid& g, std::size_t t, std::size_t u, double px, double py,
                  double& value) {
    const GridNode* row0 = &g.nodes[t * g.n + u];
    const GridNode* row1 = row0 + g.n;
    const double x00 = row0[0].x, y00 = row0[0].y;
    if (px != x00 || py != y00) return false;
    const double ex = row1[0].x - x00, ey = row1[0].y - y00;
    const double fx = row0[1].x - x00, fy = row0[1].y - y00;
    const double gx = ((row1[1].x - x00) - ex) - fx;
    const double gy = ((row1[1].y - y00) - ey) - fy;
    const double hx = px - x00, hy = py - y00;  // +0 both
    const double b = (ex * fy - ey * fx) - (hx * gy - hy * gx);
    const double k = ex * gy - ey * gx;
    // A finite b makes every difference above finite, so c0 is a signed
    // zero; with |b| and |k| in these bounds, disc = b * b, and s = c0 over
    // a finite divisor of b's sign.
    const double c0 = hx * fy - hy * fx;
    const double size = std::fabs(b);
    if (!(size > 1e-150 && size < 1e150 && std::fabs(k) < 1e300)) return false;
    const double s = std::signbit(c0) != std::signbit(b) ? -0.0 : 0.0;
    const double dx = gx * s + fx;
    const double dy = gy * s + fy;
    // A signed zero over a positive finite divisor: itself.
    const double r = (hy - ey * s) * dy + (hx - ex * s) * dx;
    const double norm = dy * dy + dx * dx;
    if (!(norm > 0.0 && norm <= std::numeric_limits<double>::max())) return false;
    // unit_clamp leaves signed zeros as they are.
    const double v00 = row0[0].value, v01 = row0[1].value;
    const double v10 = row1[0].value, v11 = row1[1].value;
    value = ((((1.0 - r) * (1.0 - s)) * v00 + ((1.0 - s) * r) * v01) + (s * (1.0 - r)) * v10) +
            (r * s) * v11;
    return true;
}

int step_of(double f, std::size_t idx, std::size_t last) {
    if (f < kLow && idx > 0) return -1;
    if (f > kHigh && idx < last) return 1;
    return 0;
}

bool in_band(double f) {
    return f >= kLow && f <= kHigh;
}

// The cell where the walk starts, from the affine guess.
void start_cell(const StructuredGrid& g, double x, double y, std::size_t& t, std::size_t& u) {
    const double dx = x - g.centroid[0];
    const double dy = y - g.centroid[1];
    const double fi = (g.index_gradient[2] * dy + g.index_gradient[0] * dx) + g.index_centre[0];
    const double fj = (g.index_gradient[3] * dy + g.index_gradient[1] * dx) + g.index_centre[1];
    t = start_index(fi, g.m - 2);
    u = start_index(fj, g.n - 2);
}

#if defined(__SSE2__)

// Two points side by side in SSE2 registers, computed with the same
// operations in the same order as the scalar query: the same bits.
inline __m128d select(__m128d mask, __m128d yes, __m128d no) {
    return _mm_or_pd(_mm_and_pd(mask, yes), _mm_andnot_pd(mask, no));
}

// The start cells and the inversion of two points. Lanes whose walk would
// move (`steps` bit set) are left to the scalar query.
struct PairQuery {
    std::size_t t[2], u[2];
    __m128d s, r;
    int steps;  // bit l: lane l needs the walk
};

// Lane 0 from a, lane 1 from b, loaded straight from memory (building the
// pair on the stack would stall on store forwarding).
inline __m128d gather(const double* a, const double* b) {
    return _mm_loadh_pd(_mm_load_sd(a), b);
}

// The start cells of two points and their corners' differences, as
// invert_cell() forms them.
struct CellPair {
    std::size_t t[2], u[2];
    __m128d x00, y00, ex, ey, fx, fy, gx, gy;
};

[[gnu::always_inline]] inline void load_cells(const StructuredGrid& g, const double px[2],
                                              const double py[2], CellPair& c) {
    const GridNode* row0[2];
    for (int l = 0; l < 2; ++l) {
        start_cell(g, px[l], py[l], c.t[l], c.u[l]);
        row0[l] = &g.nodes[c.t[l] * g.n + c.u[l]];
    }
    const GridNode* a0 = row0[0];
    const GridNode* b0 = row0[1];
    const GridNode* a1 = a0 + g.n;
    const GridNode* b1 = b0 + g.n;
    c.x00 = gather(&a0[0].x, &b0[0].x);
    c.y00 = gather(&a0[0].y, &b0[0].y);
    c.ex = _mm_sub_pd(gather(&a1[0].x, &b1[0].x), c.x00);
    c.ey = _mm_sub_pd(gather(&a1[0].y, &b1[0].y), c.y00);
    c.fx = _mm_sub_pd(gather(&a0[1].x, &b0[1].x), c.x00);
    c.fy = _mm_sub_pd(gather(&a0[1].y, &b0[1].y), c.y00);
    c.gx = _mm_sub_pd(_mm_sub_pd(_mm_sub_pd(gather(&a1[1].x, &b1[1].x), c.x00), c.ex), c.fx);
    c.gy = _mm_sub_pd(_mm_sub_pd(_mm_sub_pd(gather(&a1[1].y, &b1[1].y), c.y00), c.ey), c.fy);
}

// corner_value() of two points in their loaded cells: bit l is set when
// lane l of `value` holds the value of point l.
[[gnu::always_inline]] inline int corner_pair(const StructuredGrid& g, const double px[2],
                                              const double py[2], const CellPair& c,
                                              __m128d& value) {
    const __m128d x = _mm_set_pd(px[1], px[0]), y = _mm_set_pd(py[1], py[0]);
    __m128d ok = _mm_and_pd(_mm_cmpeq_pd(x, c.x00), _mm_cmpeq_pd(y, c.y00));
    if (_mm_movemask_pd(ok) == 0) return 0;
    const __m128d hx = _mm_sub_pd(x, c.x00), hy = _mm_sub_pd(y, c.y00);
    const __m128d b = _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(c.ex, c.fy), _mm_mul_pd(c.ey, c.fx)),
                                 _mm_sub_pd(_mm_mul_pd(hx, c.gy), _mm_mul_pd(hy, c.gx)));
    const __m128d k = _mm_sub_pd(_mm_mul_pd(c.ex, c.gy), _mm_mul_pd(c.ey, c.gx));
    const __m128d c0 = _mm_sub_pd(_mm_mul_pd(hx, c.fy), _mm_mul_pd(hy, c.fx));
    const __m128d sign_bit = _mm_set1_pd(-0.0);
    const __m128d size = _mm_andnot_pd(sign_bit, b);
    ok = _mm_and_pd(ok, _mm_and_pd(_mm_cmpgt_pd(size, _mm_set1_pd(1e-150)),
                                   _mm_cmplt_pd(size, _mm_set1_pd(1e150))));
    ok = _mm_and_pd(ok, _mm_cmplt_pd(_mm_andnot_pd(sign_bit, k), _mm_set1_pd(1e300)));
    // -0 where the signs of c0 and b differ, +0 where they agree.
    const __m128d s = _mm_and_pd(_mm_xor_pd(c0, b), sign_bit);
    const __m128d dx = _mm_add_pd(_mm_mul_pd(c.gx, s), c.fx);
    const __m128d dy = _mm_add_pd(_mm_mul_pd(c.gy, s), c.fy);
    const __m128d r = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(hy, _mm_mul_pd(c.ey, s)), dy),
                                 _mm_mul_pd(_mm_sub_pd(hx, _mm_mul_pd(c.ex, s)), dx));
    const __m128d norm = _mm_add_pd(_mm_mul_pd(dy, dy), _mm_mul_pd(dx, dx));
    ok = _mm_and_pd(
        ok, _mm_and_pd(_mm_cmpgt_pd(norm, _mm_setzero_pd()),
                       _mm_cmple_pd(norm, _mm_set1_pd(std::numeric_limits<double>::max()))));
    const GridNode* a0 = &g.nodes[c.t[0] * g.n + c.u[0]];
    const GridNode* b0 = &g.nodes[c.t[1] * g.n + c.u[1]];
    const GridNode* a1 = a0 + g.n;
    const GridNode* b1 = b0 + g.n;
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d ms = _mm_sub_pd(one, s), mr = _mm_sub_pd(one, r);
    value = _mm_add_pd(_mm_mul_pd(_mm_mul_pd(mr, ms), gather(&a0[0].value, &b0[0].value)),
                       _mm_mul_pd(_mm_mul_pd(ms, r), gather(&a0[1].value, &b0[1].value)));
    value = _mm_add_pd(value, _mm_mul_pd(_mm_mul_pd(s, mr), gather(&a1[0].value, &b1[0].value)));
    value = _mm_add_pd(value, _mm_mul_pd(_mm_mul_pd(r, s), gather(&a1[1].value, &b1[1].value)));
    return _mm_movemask_pd(ok);
}

[[gnu::always_inline]] inline void invert_pair(const StructuredGrid& g, const double px[2],
                                               const double py[2], const CellPair& c,
                                               PairQuery& q) {
    for (int l = 0; l < 2; ++l) {
        q.t[l] = c.t[l];
        q.u[l] = c.u[l];
    }
    const __m128d vx00 = c.x00, vy00 = c.y00;
    const __m128d ex = c.ex, ey = c.ey, fx = c.fx, fy = c.fy, gx = c.gx, gy = c.gy;
    const __m128d hx = _mm_sub_pd(_mm_set_pd(px[1], px[0]), vx00);
    const __m128d hy = _mm_sub_pd(_mm_set_pd(py[1], py[0]), vy00);

    const __m128d b = _mm_sub_pd(_mm_sub_pd(_mm_mul_pd(ex, fy), _mm_mul_pd(ey, fx)),
                                 _mm_sub_pd(_mm_mul_pd(hx, gy), _mm_mul_pd(hy, gx)));
    const __m128d k = _mm_sub_pd(_mm_mul_pd(ex, gy), _mm_mul_pd(ey, gx));
    const __m128d c0 = _mm_sub_pd(_mm_mul_pd(hx, fy), _mm_mul_pd(hy, fx));
    const __m128d disc =
        _mm_add_pd(_mm_mul_pd(_mm_mul_pd(k, _mm_set1_pd(4.0)), c0), _mm_mul_pd(b, b));
    const __m128d zero = _mm_setzero_pd();
    const __m128d root = _mm_sqrt_pd(select(_mm_cmpgt_pd(disc, zero), disc, zero));
    // sign_of(b): +-1 by the sign bit, NaN for NaN.
    const __m128d sign_bit = _mm_set1_pd(-0.0);
    const __m128d unit = _mm_or_pd(_mm_and_pd(b, sign_bit), _mm_set1_pd(1.0));
    const __m128d sign = select(_mm_cmpunord_pd(b, b), b, unit);
    q.s = _mm_div_pd(c0, _mm_mul_pd(_mm_add_pd(_mm_mul_pd(root, sign), b), _mm_set1_pd(0.5)));
    const __m128d dx = _mm_add_pd(_mm_mul_pd(gx, q.s), fx);
    const __m128d dy = _mm_add_pd(_mm_mul_pd(gy, q.s), fy);
    const __m128d num = _mm_add_pd(_mm_mul_pd(_mm_sub_pd(hy, _mm_mul_pd(ey, q.s)), dy),
                                   _mm_mul_pd(_mm_sub_pd(hx, _mm_mul_pd(ex, q.s)), dx));
    q.r = _mm_div_pd(num, _mm_add_pd(_mm_mul_pd(dy, dy), _mm_mul_pd(dx, dx)));

    const __m128d low = _mm_set1_pd(kLow), high = _mm_set1_pd(kHigh);
    const int s_low = _mm_movemask_pd(_mm_cmplt_pd(q.s, low));
    const int s_high = _mm_movemask_pd(_mm_cmpgt_pd(q.s, high));
    const int r_low = _mm_movemask_pd(_mm_cmplt_pd(q.r, low));
    const int r_high = _mm_movemask_pd(_mm_cmpgt_pd(q.r, high));
    q.steps = 0;
    for (int l = 0; l < 2; ++l) {
        const int bit = 1 << l;
        const bool move = ((s_low & bit) && q.t[l] > 0) || ((s_high & bit) && q.t[l] < g.m - 2) ||
                          ((r_low & bit) && q.u[l] > 0) || ((r_high & bit) && q.u[l] < g.n - 2);
        if (move) q.steps |= bit;
    }
}

// The value of two points whose walks stay in their start cells.
[[gnu::always_inline]] inline __m128d interpolate_pair(const StructuredGrid& g, const PairQuery& q,
                                                       bool clamp) {
    const GridNode* a0 = &g.nodes[q.t[0] * g.n + q.u[0]];
    const GridNode* b0 = &g.nodes[q.t[1] * g.n + q.u[1]];
    const GridNode* a1 = a0 + g.n;
    const GridNode* b1 = b0 + g.n;
    const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0);
    // unit_clamp: NaN passes both comparisons untouched.
    __m128d sc = select(_mm_cmplt_pd(q.s, zero), zero, q.s);
    sc = select(_mm_cmpgt_pd(sc, one), one, sc);
    __m128d rc = select(_mm_cmplt_pd(q.r, zero), zero, q.r);
    rc = select(_mm_cmpgt_pd(rc, one), one, rc);
    const __m128d ms = _mm_sub_pd(one, sc), mr = _mm_sub_pd(one, rc);
    __m128d value = _mm_add_pd(_mm_mul_pd(_mm_mul_pd(mr, ms), gather(&a0[0].value, &b0[0].value)),
                               _mm_mul_pd(_mm_mul_pd(ms, rc), gather(&a0[1].value, &b0[1].value)));
    value = _mm_add_pd(value, _mm_mul_pd(_mm_mul_pd(sc, mr), gather(&a1[0].value, &b1[0].value)));
    value = _mm_add_pd(value, _mm_mul_pd(_mm_mul_pd(rc, sc), gather(&a1[1].value, &b1[1].value)));
    if (!clamp) {
        const __m128d low = _mm_set1_pd(kLow), high = _mm_set1_pd(kHigh);
        const __m128d in_s = _mm_and_pd(_mm_cmpge_pd(q.s, low), _mm_cmple_pd(q.s, high));
        const __m128d in_r = _mm_and_pd(_mm_cmpge_pd(q.r, low), _mm_cmple_pd(q.r, high));
        value = select(_mm_and_pd(in_s, in_r), value,
                       _mm_set1_pd(std::numeric_limits<double>::quiet_NaN()));
    }
    return value;
}

#endif

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

GridSample StructuredGrid::query(const StructuredGrid& g, double x, double y, bool clamp) {
    const std::size_t last_t = g.m - 2;
    const std::size_t last_u = g.n - 2;
    std::size_t t = 0, u = 0;
    start_cell(g, x, y, t, u);

    Local loc = invert_cell(g, t, u, x, y);
    const std::size_t max_moves = g.m + g.n;
    for (std::size_t moves = 0; moves < max_moves; ++moves) {
        const int dt = step_of(loc.s, t, last_t);
        const int du = step_of(loc.r, u, last_u);
        if (dt == 0 && du == 0) break;
        t = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(t) + dt);
        u = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(u) + du);
        loc = invert_cell(g, t, u, x, y);
    }

    const bool outside = !(in_band(loc.s) && in_band(loc.r));
    if (outside && !clamp) return {std::numeric_limits<double>::quiet_NaN(), true};

    const double sc = unit_clamp(loc.s);
    const double rc = unit_clamp(loc.r);
    const GridNode* row0 = &g.nodes[t * g.n + u];
    const GridNode* row1 = row0 + g.n;
    const double v00 = row0[0].value;
    const double v01 = row0[1].value;
    const double v10 = row1[0].value;
    const double v11 = row1[1].value;
    const double value =
        ((((1.0 - rc) * (1.0 - sc)) * v00 + ((1.0 - sc) * rc) * v01) + (sc * (1.0 - rc)) * v10) +
        (rc * sc) * v11;
    return {value, outside};
}

void StructuredGrid::query_values(const StructuredGrid& grid, const StridedView<double, 1>& x,
                                  const StridedView<double, 1>& y, bool clamp,
                                  const MutableStridedView<double, 1>& values) {
    const std::ptrdiff_t count = x.size();
    std::ptrdiff_t k = 0;
#if defined(__SSE2__)
    // Two pairs at a time: four independent chains of divisions and square
    // roots in flight instead of one. The cells of a point some places ahead
    // are fetched meanwhile: even points in order miss the cache on the
    // grid's rows.
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
        CellPair ca, cb;
        load_cells(grid, px, py, ca);
        load_cells(grid, px + 2, py + 2, cb);
        // Points on grid nodes, the usual samples, need no inversion.
        __m128d va = _mm_setzero_pd(), vb = _mm_setzero_pd();
        if ((corner_pair(grid, px, py, ca, va) |
             (corner_pair(grid, px + 2, py + 2, cb, vb) << 2)) == 0xF) {
            _mm_storel_pd(&values.at(k), va);
            _mm_storeh_pd(&values.at(k + 1), va);
            _mm_storel_pd(&values.at(k + 2), vb);
            _mm_storeh_pd(&values.at(k + 3), vb);
            continue;
        }
        PairQuery a, b;
        invert_pair(grid, px, py, ca, a);
        invert_pair(grid, px + 2, py + 2, cb, b);
        va = interpolate_pair(grid, a, clamp);
        vb = interpolate_pair(grid, b, clamp);
        _mm_storel_pd(&values.at(k), va);
        _mm_storeh_pd(&values.at(k + 1), va);
        _mm_storel_pd(&values.at(k + 2), vb);
        _mm_storeh_pd(&values.at(k + 3), vb);
        // Rare: a start cell next to the right one.
        if (const int steps = a.steps | (b.steps << 2); steps != 0) {
            for (int l = 0; l < 4; ++l) {
                if ((steps >> l) & 1) values.at(k + l) = query(grid, px[l], py[l], clamp).value;
            }
        }
    }
#endif
    for (; k < count; ++k) {
        std::size_t t = 0, u = 0;
        start_cell(grid, x.at(k), y.at(k), t, u);
        if (!corner_value(grid, t, u, x.at(k), y.at(k), values.at(k))) {
            values.at(k) = query(grid, x.at(k), y.at(k), clamp).value;
        }
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
