// The material quality at a point and the Porter-Duff "over" blend that
// composites one quality in front of another.
#pragma once

#include <cstddef>

#include "quality/blend_formula.hpp"

namespace orvik {

struct Quality {
    float rho = 0, vp = 0, vs = 0, qp = 0, qs = 0, alpha = 0;

    // Foreground `f` over background `b`: blend_columns with one lane. Every
    // step is a separately rounded float32 operation (the build disables
    // contraction).
    static Quality blend(const Quality& f, const Quality& b);
};

static_assert(sizeof(Quality) == 6 * sizeof(float));

namespace detail {
// One float per lane.
struct ScalarLanes {
    using V = float;
    static float splat(float a) { return a; }
    static float add(float a, float b) { return a + b; }
    static float sub(float a, float b) { return a - b; }
    static float mul(float a, float b) { return a * b; }
    static float div(float a, float b) { return a / b; }
    static bool lt(float a, float b) { return a < b; }
    static float select(bool m, float a, float b) { return m ? a : b; }
};
}  // namespace detail

inline Quality Quality::blend(const Quality& f, const Quality& b) {
    const float fc[6] = {f.rho, f.vp, f.vs, f.qp, f.qs, f.alpha};
    const float bc[6] = {b.rho, b.vp, b.vs, b.qp, b.qs, b.alpha};
    float r[6];
    blend_columns<detail::ScalarLanes>(fc, bc, r);
    return Quality{r[0], r[1], r[2], r[3], r[4], r[5]};
}

}  // namespace orvik
