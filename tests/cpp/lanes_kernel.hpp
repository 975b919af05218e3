// A test kernel: the lane operations of common/lanes.hpp over a table of
// values, in the widest lanes of each build, for test_lanes.cpp to compare
// with plain scalar operations.
#pragma once

#include "common/isa.hpp"

namespace orvik::testing {

inline constexpr int kLaneValues = 96;  // a multiple of every width

struct LaneInputs {
    double a[kLaneValues], b[kLaneValues];
    float fa[kLaneValues], fb[kLaneValues];
};

struct LaneOutputs {
    // Arithmetic, then the masks of lt, le, gt, ge, eq and is_nan (0 or 1),
    // then select(lt(a, b), a, b), abs(a), sqrt(a), xor_sign(a, b), lane k
    // gathered from b[kLaneValues - 1 - k], and a read as points (x, y, z).
    double add[kLaneValues], sub[kLaneValues], mul[kLaneValues], div[kLaneValues];
    unsigned masks[6][kLaneValues];
    double select[kLaneValues], abs[kLaneValues], sqrt[kLaneValues], xor_sign[kLaneValues];
    double gather[kLaneValues];
    double xyz[3][kLaneValues / 3];
    float fadd[kLaneValues], fsub[kLaneValues], fmul[kLaneValues], fdiv[kLaneValues];
    unsigned fmasks[2][kLaneValues];  // lt, le
    float fselect[kLaneValues];
    int double_width, float_width;
    isa::Level built_for;  // the set this build was compiled for
};

ORVIK_KERNEL(void lane_outputs(const LaneInputs& in, LaneOutputs& out))

}  // namespace orvik::testing
