// The blend loop over rows of six floats, written once for any register of
// groups of four lanes: SSE2's four rows, or AVX's eight with rows 0-3 in
// the low halves and rows 4-7 in the high halves (its shuffles stay within
// a half, so each half moves as a four-row register would). `L` supplies V,
// kRows, shuffle<imm>(a, b) and unpacklo/unpackhi as the SSE intrinsics
// define them per 128-bit half, load6(p, r) (the six registers of kRows
// rows, half by half) and put<Stream>(p, v) (a register's halves written 24
// floats apart, past the cache when Stream). The blend kernel
// (blend_kernel.cpp) supplies them for each instruction set.
#pragma once

#include "quality/quality.hpp"

namespace orvik::lanes {

static_assert(kQualityColumns == 6, "the moves below transpose rows of six floats");

template <class L, class V = typename L::V>
inline void transpose4(V& a, V& b, V& c, V& d) {
    const V t0 = L::template shuffle<0x44>(a, b), t1 = L::template shuffle<0xEE>(a, b);
    const V t2 = L::template shuffle<0x44>(c, d), t3 = L::template shuffle<0xEE>(c, d);
    a = L::template shuffle<0x88>(t0, t2);
    b = L::template shuffle<0xDD>(t0, t2);
    c = L::template shuffle<0x88>(t1, t3);
    d = L::template shuffle<0xDD>(t1, t3);
}

// Rows r0..r3 of six floats (24 floats from p, per half) into columns c[0..5].
template <class L, class V = typename L::V>
inline void load_columns(const float* p, V* c) {
    V r[6];
    L::load6(p, r);
    c[0] = r[0];                                         // r0 0..3
    c[1] = L::template shuffle<0x4E>(r[1], r[2]);        // r1 0..3
    c[2] = r[3];                                         // r2 0..3
    c[3] = L::template shuffle<0x4E>(r[4], r[5]);        // r3 0..3
    const V y0 = L::template shuffle<0xE4>(r[1], r[2]);  // r0 4 5, r1 4 5
    const V y1 = L::template shuffle<0xE4>(r[4], r[5]);  // r2 4 5, r3 4 5
    transpose4<L>(c[0], c[1], c[2], c[3]);
    c[4] = L::template shuffle<0x88>(y0, y1);
    c[5] = L::template shuffle<0xDD>(y0, y1);
}

// Columns c[0..5] back into rows, the inverse of load_columns.
template <class L, bool Stream, class V = typename L::V>
inline void store_rows(float* p, const V* c) {
    V x0 = c[0], x1 = c[1], x2 = c[2], x3 = c[3];
    transpose4<L>(x0, x1, x2, x3);
    const V y0 = L::unpacklo(c[4], c[5]), y1 = L::unpackhi(c[4], c[5]);
    L::template put<Stream>(p, x0);
    L::template put<Stream>(p + 4, L::template shuffle<0x44>(y0, x1));
    L::template put<Stream>(p + 8, L::template shuffle<0xEE>(x1, y0));
    L::template put<Stream>(p + 12, x2);
    L::template put<Stream>(p + 16, L::template shuffle<0x44>(y1, x3));
    L::template put<Stream>(p + 20, L::template shuffle<0xEE>(x3, y1));
}

// `rows` (a multiple of L::kRows) rows of f over b into out.
template <class L, bool Stream, class N, class V = typename L::V>
inline void blend_groups(const float* f, const float* b, float* out, N rows) {
    for (N i = 0; i < rows; i += L::kRows) {
        V fc[kQualityColumns], bc[kQualityColumns], rc[kQualityColumns];
        load_columns<L>(f + kQualityColumns * i, fc);
        load_columns<L>(b + kQualityColumns * i, bc);
        blend_columns<L>(fc, bc, rc);
        store_rows<L, Stream>(out + kQualityColumns * i, rc);
    }
}

}  // namespace orvik::lanes
