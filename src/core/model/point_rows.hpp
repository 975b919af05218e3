// The batch loop that grid and columns models run over rows of points: each
// row located some rows before it is evaluated, so that fetching its nodes
// overlaps the work of the rows between.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "common/strided.hpp"
#include "quality/quality.hpp"

namespace orvik {

// Rows of points in a model's terms: the horizontal position, the model's
// own vertical coordinate (elevation or depth), an optional mask and the
// (N, kQualityColumns) output, one quality per row in its row form.
struct PointRows {
    StridedView<float, 1> x, y, v;
    std::optional<StridedView<std::uint8_t, 1>> mask;  // numpy bool: 0 skips the row
    MutableStridedView<float, 2> out;
    std::array<float, 2> v_range;  // rows with v outside are skipped (a NaN v is kept)
};

namespace detail {

// Reads and writes of the rows: through the strides, or (Dense) through
// plain pointers where every array lies densely in C order.
template <bool Dense>
struct RowAccess {
    const PointRows& rows;

    float x(std::ptrdiff_t i) const { return at(rows.x, i); }
    float y(std::ptrdiff_t i) const { return at(rows.y, i); }
    float v(std::ptrdiff_t i) const { return at(rows.v, i); }
    bool kept(std::ptrdiff_t i) const { return !rows.mask || at(*rows.mask, i) != 0; }

    void write(std::ptrdiff_t i, const Quality& q) const {
        if constexpr (Dense) {
            __builtin_memcpy(reinterpret_cast<float*>(rows.out.data) + kQualityColumns * i, &q,
                             sizeof q);
        } else {
            const Quality::Columns values = q.columns();
            for (std::size_t k = 0; k < kQualityColumns; ++k) {
                rows.out.at(i, static_cast<std::ptrdiff_t>(k)) = values[k];
            }
        }
    }

  private:
    template <class T>
    static T at(const StridedView<T, 1>& a, std::ptrdiff_t i) {
        if constexpr (Dense) {
            return reinterpret_cast<const T*>(a.data)[i];
        } else {
            return a.at(i);
        }
    }
};

template <bool Dense, class Located, class Locate, class Finish>
void pipeline(const PointRows& rows, std::ptrdiff_t begin, std::ptrdiff_t end, Locate& locate,
              Finish& finish) {
    constexpr std::ptrdiff_t kAhead = 16;
    const RowAccess<Dense> io{rows};
    Located ring[kAhead];
    bool found[kAhead] = {};
    const auto stage = [&](std::ptrdiff_t i) {
        const std::ptrdiff_t slot = i % kAhead;
        found[slot] = false;
        if (!io.kept(i)) return;
        const float v = io.v(i);
        if (rows.v_range[0] > v || v > rows.v_range[1]) return;
        found[slot] = locate(io.x(i), io.y(i), v, ring[slot]);
    };
    for (std::ptrdiff_t i = begin; i < end && i < begin + kAhead; ++i) stage(i);
    for (std::ptrdiff_t i = begin; i < end; ++i) {
        const std::ptrdiff_t slot = i % kAhead;
        const bool here = found[slot];
        const Located at = ring[slot];
        if (i + kAhead < end) stage(i + kAhead);
        if (here) {
            if (std::optional<Quality> q = finish(at)) io.write(i, *q);
        }
    }
}

}  // namespace detail

// Rows [begin, end): `locate(x, y, v, located)` fills `located` and says
// whether the point lies in the model (and may start fetching what `finish`
// reads), `finish(located)` gives an optional Quality, written to the row
// when present. Each row's answer depends on the row alone.
template <class Located, class Locate, class Finish>
void pipeline_rows(const PointRows& rows, std::ptrdiff_t begin, std::ptrdiff_t end, Locate&& locate,
                   Finish&& finish) {
    const bool dense = rows.x.contiguous() && rows.y.contiguous() && rows.v.contiguous() &&
                       rows.out.contiguous() && (!rows.mask || rows.mask->contiguous());
    if (dense) {
        detail::pipeline<true, Located>(rows, begin, end, locate, finish);
    } else {
        detail::pipeline<false, Located>(rows, begin, end, locate, finish);
    }
}

}  // namespace orvik
