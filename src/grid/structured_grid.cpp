#include "grid/structured_grid.hpp"

#include <cmath>
#include <limits>
#include <string>

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

std::vector<double> copy_rows(const StridedView<double, 2>& a) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(a.shape[0] * a.shape[1]));
    for (std::ptrdiff_t i = 0; i < a.shape[0]; ++i) {
        for (std::ptrdiff_t j = 0; j < a.shape[1]; ++j) out.push_back(a.at(i, j));
    }
    return out;
}

// floor(f) as a cell index in [0, last]: NaN and negatives give 0, huge values `last`.
std::size_t start_index(double f, std::size_t last) {
    const double fl = std::floor(f);
    if (!(fl > 0.0)) return 0;
    if (fl >= static_cast<double>(last)) return last;
    return static_cast<std::size_t>(fl);
}

// +1 or -1 by the sign bit (zeros included), NaN for NaN.
double sign_of(double b) { return std::isnan(b) ? b : std::copysign(1.0, b); }

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
Local invert_cell(const StructuredGrid& g, std::size_t t, std::size_t u, double px, double py) {
    const std::size_t k00 = t * g.n + u;
    const std::size_t k10 = k00 + g.n;
    const std::size_t k01 = k00 + 1;
    const std::size_t k11 = k10 + 1;
    const double x00 = g.x[k00], y00 = g.y[k00];
    const double ex = g.x[k10] - x00, ey = g.y[k10] - y00;
    const double fx = g.x[k01] - x00, fy = g.y[k01] - y00;
    const double gx = ((g.x[k11] - x00) - ex) - fx;
    const double gy = ((g.y[k11] - y00) - ey) - fy;
    const double hx = px - x00, hy = py - y00;

    const double b = (ex * fy - ey * fx) - (hx * gy - hy * gx);
    const double k = ex * gy - ey * gx;
    const double c0 = hx * fy - hy * fx;
    const double disc = (k * 4.0) * c0 + b * b;
    // The root of K s^2 + B s - C0 = 0 that stays exact when K is 0.
    const double s = c0 / ((std::sqrt(std::fmax(disc, 0.0)) * sign_of(b) + b) * 0.5);
    const double dx = gx * s + fx;
    const double dy = gy * s + fy;
    const double r = ((hy - ey * s) * dy + (hx - ex * s) * dx) / (dy * dy + dx * dx);
    return {s, r};
}

int step_of(double f, std::size_t idx, std::size_t last) {
    if (f < kLow && idx > 0) return -1;
    if (f > kHigh && idx < last) return 1;
    return 0;
}

bool in_band(double f) { return f >= kLow && f <= kHigh; }

}  // namespace

Result<StructuredGrid> StructuredGrid::build(const StridedView<double, 2>& x,
                                             const StridedView<double, 2>& y,
                                             const StridedView<double, 2>& values) {
    StructuredGrid g;
    g.x = copy_rows(x);
    g.y = copy_rows(y);
    g.values = copy_rows(values);

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
    for (std::size_t k = 0; k < count; ++k) {
        sum_x += g.x[k];
        sum_y += g.y[k];
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
            const double dx = g.x[i * g.n + j] - g.centroid[0];
            const double dy = g.y[i * g.n + j] - g.centroid[1];
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
    const double dx = x - g.centroid[0];
    const double dy = y - g.centroid[1];
    const double fi = (g.index_gradient[2] * dy + g.index_gradient[0] * dx) + g.index_centre[0];
    const double fj = (g.index_gradient[3] * dy + g.index_gradient[1] * dx) + g.index_centre[1];
    std::size_t t = start_index(fi, last_t);
    std::size_t u = start_index(fj, last_u);

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
    const std::size_t k00 = t * g.n + u;
    const double v00 = g.values[k00];
    const double v01 = g.values[k00 + 1];
    const double v10 = g.values[k00 + g.n];
    const double v11 = g.values[k00 + g.n + 1];
    const double value = ((((1.0 - rc) * (1.0 - sc)) * v00 + ((1.0 - sc) * rc) * v01) +
                          (sc * (1.0 - rc)) * v10) +
                         (rc * sc) * v11;
    return {value, outside};
}

void StructuredGrid::query_many(const StructuredGrid& grid, const StridedView<double, 1>& x,
                                const StridedView<double, 1>& y, bool clamp, double* out_values,
                                std::uint8_t* out_outside) {
    const std::ptrdiff_t count = x.size();
    for (std::ptrdiff_t k = 0; k < count; ++k) {
        const GridSample q = query(grid, x.at(k), y.at(k), clamp);
        out_values[k] = q.value;
        out_outside[k] = q.outside ? 1 : 0;
    }
}

}  // namespace orvik
