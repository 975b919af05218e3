// The material quality at a point and the Porter-Duff "over" blend that
// composites one quality in front of another.
#pragma once

#include <cstddef>

namespace orvik {

struct Quality {
    float rho = 0, vp = 0, vs = 0, qp = 0, qs = 0, alpha = 0;

    // Foreground `f` over background `b`. Every step is a separately rounded
    // float32 operation in the order below (the build disables contraction).
    static Quality blend(const Quality& f, const Quality& b) {
        constexpr float eps = 1.1920929e-7f;  // 2^-23
        if (f.alpha < eps) return b;
        if (b.alpha < eps) return f;
        const float wb = (1.0f - f.alpha) * b.alpha;
        const float a = f.alpha + wb;
        const float fw = f.alpha / a;
        const float bw = wb / a;
        Quality r;
        r.rho = b.rho * bw + f.rho * fw;
        r.vp = b.vp * bw + f.vp * fw;
        r.vs = b.vs * bw + f.vs * fw;
        // Q factors average harmonically: the weighted mean of 1/Q, inverted.
        r.qp = 1.0f / ((1.0f / f.qp) * fw + (1.0f / b.qp) * bw);
        r.qs = 1.0f / ((1.0f / f.qs) * fw + (1.0f / b.qs) * bw);
        r.alpha = a;
        return r;
    }
};

static_assert(sizeof(Quality) == 6 * sizeof(float));

}  // namespace orvik
