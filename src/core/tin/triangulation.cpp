#include "tin/triangulation.hpp"

#include <cmath>

namespace orvik::tin {
namespace {

// Orientation of (a, b, c) certified by a floating-point filter: +1 or -1
// when the computed sign is sure, 0 when it is not.
int certain_orientation(double ax, double ay, double bx, double by, double cx, double cy) {
    const double left = (ax - cx) * (by - cy);
    const double right = (ay - cy) * (bx - cx);
    const double det = left - right;
    const double magnitude = std::fabs(left) + std::fabs(right);
    // Relative bounds fail where products lose precision to underflow.
    if (magnitude < 1e-280) return 0;
    // Shewchuk's first-stage bound for orient2d, (3 + 16 eps) eps, rounded up.
    const double bound = 3.3306690738754738e-16 * magnitude;
    if (det > bound) return 1;
    if (-det > bound) return -1;
    return 0;
}

// True when d = a - b was computed without rounding (Knuth's two-sum error is zero).
bool exact_difference(double a, double b, double d) {
    const double bv = d - a;
    const double av = d - bv;
    return (a - av) + (-b - bv) == 0.0;
}

// True when p = a * b was computed without rounding (Dekker's product error is
// zero). Products near underflow are not vouched for.
bool exact_product(double a, double b, double p) {
    if (p == 0.0) return a == 0.0 || b == 0.0;
    if (std::fabs(p) < 1e-250) return false;
    const auto split = [](double v, double& hi, double& lo) {
        const double c = 134217729.0 * v;
        hi = c - (c - v);
        lo = v - hi;
    };
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return ((ah * bh - p) + ah * bl + al * bh) + al * bl == 0.0;
}

// The orientation of (a, b, c) when the plain evaluation can be shown to be
// exact, which is common for points on a lattice: -1, 0 or +1; 2 otherwise.
// Kept out of the walk, whose loop it would bloat.
[[gnu::noinline]] int exact_orientation(double ax, double ay, double bx, double by, double cx,
                                        double cy) {
    const double d1 = ax - cx, d2 = by - cy, d3 = ay - cy, d4 = bx - cx;
    if (!exact_difference(ax, cx, d1) || !exact_difference(by, cy, d2) ||
        !exact_difference(ay, cy, d3) || !exact_difference(bx, cx, d4)) {
        return 2;
    }
    const double left = d1 * d2, right = d3 * d4;
    if (!exact_product(d1, d2, left) || !exact_product(d3, d4, right)) return 2;
    const double det = left - right;
    if (!exact_difference(left, right, det)) return 2;
    return det > 0.0 ? 1 : (det < 0.0 ? -1 : 0);
}

}  // namespace

Location walk(const Cdt& cdt, FaceHandle f, double px, double py) {
    if (cdt.is_infinite(f)) return {f, Cdt::FACE, 0, false};
    constexpr int kMaxSteps = 64;  // a walk can cycle where the mesh is not Delaunay
    // The edge the walk came in by: the point lies surely beyond it seen
    // from the face left, so surely inside seen from this one (the
    // orientation of the reversed edge is the exact negation).
    int entry = -1;
    for (int step = 0; step < kMaxSteps; ++step) {
        const Point* v[3] = {&f->vertex(0)->point(), &f->vertex(1)->point(),
                             &f->vertex(2)->point()};
        int exit = -1, zeros = 0, zero_sum = 0;
        bool unknown = false;
        for (int k = 0; k < 3; ++k) {
            if (k == entry) continue;
            const Point& a = *v[Cdt::ccw(k)];
            const Point& b = *v[Cdt::cw(k)];
            int o = certain_orientation(a.x(), a.y(), b.x(), b.y(), px, py);
            if (o == 0) o = exact_orientation(a.x(), a.y(), b.x(), b.y(), px, py);
            if (o == 1) continue;
            if (o == -1) {
                exit = k;
                break;
            }
            if (o == 0) {
                ++zeros;
                zero_sum += k;
            } else {
                unknown = true;
            }
        }
        if (exit >= 0) {
            const FaceHandle next = f->neighbor(exit);
            if (cdt.is_infinite(next)) return {f, Cdt::FACE, 0, false};
            entry = next->index(f);
            f = next;
            continue;
        }
        if (unknown) return {f, Cdt::FACE, 0, false};
        if (zeros == 0) return {f, Cdt::FACE, 0, true};
        if (zeros == 1) return {f, Cdt::EDGE, zero_sum, true};
        // On two edge lines: the corner they share.
        return {f, Cdt::VERTEX, 3 - zero_sum, true};
    }
    return {f, Cdt::FACE, 0, false};
}

Location locate(const Cdt& cdt, FaceHandle start, double px, double py) {
    Location loc = walk(cdt, start, px, py);
    if (!loc.known) {
        int li = 0;
        loc.face = cdt.locate(Point(px, py), loc.type, li, loc.face);
        loc.index = li;
        loc.known = true;
    }
    return loc;
}

}  // namespace orvik::tin
