// The blend loop over groups of rows: a kernel, built once per instruction
// set (blend_kernel.cpp, common/isa.hpp).
#pragma once

#include <cstddef>

#include "common/isa.hpp"

namespace orvik {

// Blends the first rows of f over b into out, a group of lanes::width rows
// at a time, and returns how many: rows rounded down to whole groups (none
// where the build has no lanes for it). `stream` writes `out`, 16-byte
// aligned then, past the caches.
ORVIK_KERNEL(std::ptrdiff_t blend_groups(const float* f, const float* b, float* out,
                                         std::ptrdiff_t rows, bool stream))

}  // namespace orvik
