// The Porter-Duff "over" blend, written once for any number of lanes: the
// scalar Quality::blend and the vectorised loop of blend_rows both run this
// template, so the formula lives in one place. `Ops` supplies the lane type
// V and its operations: splat, add, sub, mul, div (each one IEEE float32
// operation per lane, never contracted) and lt (a lane mask, false for a
// NaN operand) with select(mask, a, b) = mask ? a : b, bit for bit.
//
// The blend kernel (blend_kernel.cpp) instantiates it with lanes of its own
// instruction set, so each build's instance is a function of its own.
#pragma once

namespace orvik {

// Foreground columns f[0..5] (rho, vp, vs, qp, qs, alpha) over background
// columns b[0..5] into r[0..5].
template <class Ops, class V = typename Ops::V>
inline void blend_columns(const V* f, const V* b, V* r) {
    const V eps = Ops::splat(1.1920929e-7f);  // 2^-23
    const V one = Ops::splat(1.0f);
    const V fa = f[5], ba = b[5];
    // The composite, every step rounded on its own in this order.
    const V wb = Ops::mul(Ops::sub(one, fa), ba);
    const V a = Ops::add(fa, wb);
    const V fw = Ops::div(fa, a);
    const V bw = Ops::div(wb, a);
    V c[6];
    for (int k = 0; k < 3; ++k) c[k] = Ops::add(Ops::mul(b[k], bw), Ops::mul(f[k], fw));
    // Q factors average harmonically: the weighted mean of 1/Q, inverted.
    for (int k = 3; k < 5; ++k) {
        c[k] = Ops::div(
            one, Ops::add(Ops::mul(Ops::div(one, f[k]), fw), Ops::mul(Ops::div(one, b[k]), bw)));
    }
    c[5] = a;
    // A transparent foreground gives the background unchanged; otherwise a
    // transparent background gives the foreground unchanged.
    const auto only_b = Ops::lt(fa, eps);
    const auto only_f = Ops::lt(ba, eps);
    for (int k = 0; k < 6; ++k) r[k] = Ops::select(only_b, b[k], Ops::select(only_f, f[k], c[k]));
}

}  // namespace orvik
