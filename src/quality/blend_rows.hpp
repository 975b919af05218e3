// Row-by-row blending of two quality arrays (the loop behind blend_many).
#pragma once

#include "common/interrupt.hpp"
#include "common/strided.hpp"
#include "quality/quality.hpp"

namespace orvik {

// Reads row k of a (N, >=6) float32 view as a quality, column by column.
inline Quality read_quality_row(const StridedView<float, 2>& v, std::ptrdiff_t row) {
    const char* p = v.data + row * v.strides[0];
    const std::ptrdiff_t c = v.strides[1];
    auto f = [&](int k) { return *reinterpret_cast<const float*>(p + k * c); };
    return Quality{f(0), f(1), f(2), f(3), f(4), f(5)};
}

// out[i] = blend(lhs[i], rhs[i]) for every row; `out` holds rows * 6 floats.
// Both views must have the same row count and at least six columns. False
// when `stop` ended the loop early.
bool blend_rows(const StridedView<float, 2>& lhs, const StridedView<float, 2>& rhs, float* out,
                const Interrupt& stop = {});

}  // namespace orvik
