#include "lanes_kernel.hpp"

#include "common/lanes.hpp"

namespace orvik::testing::ORVIK_ISA {
namespace {

template <class D>
void doubles(const LaneInputs& in, LaneOutputs& out) {
    constexpr int kWidth = lanes::width<D>;
    for (int i = 0; i < kLaneValues; i += kWidth) {
        const D a = lanes::load<D>(in.a + i), b = lanes::load<D>(in.b + i);
        lanes::store(out.add + i, a + b);
        lanes::store(out.sub + i, a - b);
        lanes::store(out.mul + i, a * b);
        lanes::store(out.div + i, a / b);
        const unsigned masks[6] = {lanes::bits(lanes::lt(a, b)), lanes::bits(lanes::le(a, b)),
                                   lanes::bits(lanes::gt(a, b)), lanes::bits(lanes::ge(a, b)),
                                   lanes::bits(lanes::eq(a, b)), lanes::bits(lanes::is_nan(a))};
        for (int m = 0; m < 6; ++m) {
            for (int l = 0; l < kWidth; ++l) out.masks[m][i + l] = (masks[m] >> l) & 1u;
        }
        lanes::store(out.select + i, lanes::select(lanes::lt(a, b), a, b));
        lanes::store(out.abs + i, lanes::abs(a));
        lanes::store(out.sqrt + i, lanes::sqrt(a));
        lanes::store(out.xor_sign + i, lanes::xor_sign(a, b));
        const double* from[kWidth];
        for (int l = 0; l < kWidth; ++l) from[l] = &in.b[kLaneValues - 1 - (i + l)];
        lanes::store(out.gather + i, lanes::gather<D>(from));
    }
    for (int p = 0; p < kLaneValues / 3; p += kWidth) {
        D x, y, z;
        lanes::load_xyz(in.a + 3 * p, x, y, z);
        lanes::store(out.xyz[0] + p, x);
        lanes::store(out.xyz[1] + p, y);
        lanes::store(out.xyz[2] + p, z);
    }
    out.double_width = kWidth;
}

template <class F>
void floats(const LaneInputs& in, LaneOutputs& out) {
    constexpr int kWidth = lanes::width<F>;
    for (int i = 0; i < kLaneValues; i += kWidth) {
        const F a = lanes::load<F>(in.fa + i), b = lanes::load<F>(in.fb + i);
        lanes::store(out.fadd + i, a + b);
        lanes::store(out.fsub + i, a - b);
        lanes::store(out.fmul + i, a * b);
        lanes::store(out.fdiv + i, a / b);
        const unsigned lt = lanes::bits(lanes::lt(a, b)), le = lanes::bits(lanes::le(a, b));
        for (int l = 0; l < kWidth; ++l) {
            out.fmasks[0][i + l] = (lt >> l) & 1u;
            out.fmasks[1][i + l] = (le >> l) & 1u;
        }
        lanes::store(out.fselect + i, lanes::select(lanes::lt(a, b), a, b));
    }
    out.float_width = kWidth;
}

}  // namespace

void lane_outputs(const LaneInputs& in, LaneOutputs& out) {
    doubles<lanes::Doubles>(in, out);
    floats<lanes::Floats>(in, out);
    out.built_for = isa::ORVIK_ISA::kLevel;
}

}  // namespace orvik::testing::ORVIK_ISA
