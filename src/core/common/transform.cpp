#include "common/transform.hpp"

namespace orvik {

bool invert4(const std::array<float, 16>& a, std::array<float, 16>& out) {
    // The classical cofactor expansion of the adjugate, scaled by 1/det and
    // written out term by term: the results are specified to the last bit, and
    // a library's (vectorised) inverse would order and round them differently.
    const auto e = [&](int i) { return a[static_cast<std::size_t>(i)]; };
    auto c = [&](int p, int q, int r, int s, int t, int u, int v, int w, int x, int y, int z, int o,
                 int pp, int qq, int rr, int ss, int tt, int uu) {
        // e(p)e(q)e(r) - e(s)e(t)e(u) - e(v)e(w)e(x) + e(y)e(z)e(o) + e(pp)e(qq)e(rr) -
        // e(ss)e(tt)e(uu)
        return e(p) * e(q) * e(r) - e(s) * e(t) * e(u) - e(v) * e(w) * e(x) + e(y) * e(z) * e(o) +
               e(pp) * e(qq) * e(rr) - e(ss) * e(tt) * e(uu);
    };
    // `a` is read as the flat array 0..15; the cofactor of flat element i goes
    // to the transposed position, so the result is the inverse in the same layout.
    float r[16];
    r[0] = c(5, 10, 15, 5, 11, 14, 9, 6, 15, 9, 7, 14, 13, 6, 11, 13, 7, 10);
    r[4] = -c(4, 10, 15, 4, 11, 14, 8, 6, 15, 8, 7, 14, 12, 6, 11, 12, 7, 10);
    r[8] = c(4, 9, 15, 4, 11, 13, 8, 5, 15, 8, 7, 13, 12, 5, 11, 12, 7, 9);
    r[12] = -c(4, 9, 14, 4, 10, 13, 8, 5, 14, 8, 6, 13, 12, 5, 10, 12, 6, 9);
    const float det = ((e(0) * r[0] + e(1) * r[4]) + e(2) * r[8]) + e(3) * r[12];
    if (det == 0.0f) return false;
    r[1] = -c(1, 10, 15, 1, 11, 14, 9, 2, 15, 9, 3, 14, 13, 2, 11, 13, 3, 10);
    r[2] = c(1, 6, 15, 1, 7, 14, 5, 2, 15, 5, 3, 14, 13, 2, 7, 13, 3, 6);
    r[3] = -c(1, 6, 11, 1, 7, 10, 5, 2, 11, 5, 3, 10, 9, 2, 7, 9, 3, 6);
    r[5] = c(0, 10, 15, 0, 11, 14, 8, 2, 15, 8, 3, 14, 12, 2, 11, 12, 3, 10);
    r[6] = -c(0, 6, 15, 0, 7, 14, 4, 2, 15, 4, 3, 14, 12, 2, 7, 12, 3, 6);
    r[7] = c(0, 6, 11, 0, 7, 10, 4, 2, 11, 4, 3, 10, 8, 2, 7, 8, 3, 6);
    r[9] = -c(0, 9, 15, 0, 11, 13, 8, 1, 15, 8, 3, 13, 12, 1, 11, 12, 3, 9);
    r[10] = c(0, 5, 15, 0, 7, 13, 4, 1, 15, 4, 3, 13, 12, 1, 7, 12, 3, 5);
    r[11] = -c(0, 5, 11, 0, 7, 9, 4, 1, 11, 4, 3, 9, 8, 1, 7, 8, 3, 5);
    r[13] = c(0, 9, 14, 0, 10, 13, 8, 1, 14, 8, 2, 13, 12, 1, 10, 12, 2, 9);
    r[14] = -c(0, 5, 14, 0, 6, 13, 4, 1, 14, 4, 2, 13, 12, 1, 6, 12, 2, 5);
    r[15] = c(0, 5, 10, 0, 6, 9, 4, 1, 10, 4, 2, 9, 8, 1, 6, 8, 2, 5);
    const float inv_det = 1.0f / det;
    for (std::size_t i = 0; i < 16; ++i) out[i] = r[i] * inv_det;
    return true;
}

}  // namespace orvik
