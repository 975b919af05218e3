#include "model/placement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/transform.hpp"

namespace orvik {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

float round_down(double v) {
    const float f = static_cast<float>(v);
    return static_cast<double>(f) > v ? std::nextafter(f, -kInf) : f;
}

float round_up(double v) {
    const float f = static_cast<float>(v);
    return static_cast<double>(f) < v ? std::nextafter(f, kInf) : f;
}

}  // namespace

Result<DerivedExtent> derive_extent(const std::array<double, 3>& lo,
                                    const std::array<double, 3>& hi,
                                    const ModelPlacement& placement) {
    std::array<float, 3> wlo{}, whi{};
    for (int k = 0; k < 3; ++k) {
        wlo[k] = round_down(lo[k]);
        whi[k] = round_up(hi[k]);
    }
    if (placement.transform) {
        for (float t : *placement.transform) {
            if (!std::isfinite(t)) return Error::value("transform must hold finite numbers");
        }
        for (int k = 0; k < 3; ++k) {
            if (std::isinf(wlo[k]) || std::isinf(whi[k])) {
                return Error::value("a transform needs a model of finite extent");
            }
        }
        Transform inv{};
        if (!invert4(*placement.transform, inv)) {
            return Error::value("transform is not invertible (its determinant is zero)");
        }
        std::array<float, 3> mlo{kInf, kInf, kInf}, mhi{-kInf, -kInf, -kInf};
        for (int corner = 0; corner < 8; ++corner) {
            const float c[3] = {(corner & 1) ? whi[0] : wlo[0], (corner & 2) ? whi[1] : wlo[1],
                                (corner & 4) ? whi[2] : wlo[2]};
            for (int k = 0; k < 3; ++k) {
                const float p =
                    ((c[0] * inv[k] + c[1] * inv[4 + k]) + c[2] * inv[8 + k]) + inv[12 + k];
                mlo[k] = std::min(mlo[k], p);
                mhi[k] = std::max(mhi[k], p);
            }
        }
        for (int k = 0; k < 3; ++k) {
            const float pad = 0.01f + 1e-5f * std::max(std::fabs(mlo[k]), std::fabs(mhi[k]));
            wlo[k] = mlo[k] - pad;
            whi[k] = mhi[k] + pad;
        }
    }
    const bool depth = placement.vertical == VerticalMode::Depth;
    DerivedExtent e;
    e.bounds = {wlo[0], wlo[1], depth ? -kInf : wlo[2], whi[0], whi[1], depth ? kInf : whi[2]};
    e.v_range = {wlo[2], whi[2]};
    return e;
}

Status PlacedModel::place(const std::array<double, 3>& lo, const std::array<double, 3>& hi,
                          ModelPlacement placement) {
    Result<DerivedExtent> extent = derive_extent(lo, hi, placement);
    if (!extent) return extent.error();
    bounds = extent->bounds;
    v_range = extent->v_range;
    transform = placement.transform;
    name = std::move(placement.name);
    vertical = placement.vertical;
    priority = placement.priority;
    return ok_status();
}

}  // namespace orvik
