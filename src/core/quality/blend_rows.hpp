// Row-by-row blending of two quality arrays (the loop behind blend_many).
#pragma once

#include "common/interrupt.hpp"
#include "common/strided.hpp"
#include "quality/quality.hpp"

namespace orvik {

// Reads row k of a (N, >= kQualityColumns) float32 view as a quality, column
// by column.
inline Quality read_quality_row(const StridedView<float, 2>& v, std::ptrdiff_t row) {
    Quality::Columns c;
    for (std::size_t k = 0; k < kQualityColumns; ++k) {
        c[k] = v.at(row, static_cast<std::ptrdiff_t>(k));
    }
    return Quality::from_columns(c.data());
}

// Which lanes the dense loop may use: the widest the processor has (AVX
// when it has it, else SSE2 on x86-64), four, or one row at a time. All give
// the same bits; tests compare them.
enum class BlendLanes { Widest, Four, One };

// out[i] = blend(f[i], b[i]) for `rows` contiguous rows of kQualityColumns
// floats.
// `stream` writes `out` past the caches where it is 16-byte aligned (for
// results far larger than the caches); the values are the same.
void blend_dense(const float* f, const float* b, float* out, std::ptrdiff_t rows,
                 BlendLanes lanes = BlendLanes::Widest, bool stream = false);

// out[i] = blend(lhs[i], rhs[i]) for every row; `out` holds rows *
// kQualityColumns floats. Both views must have the same row count and at
// least kQualityColumns columns. False
// when `stop` ended the loop early.
bool blend_rows(const StridedView<float, 2>& lhs, const StridedView<float, 2>& rhs, float* out,
                const Interrupt& stop = {});

}  // namespace orvik
