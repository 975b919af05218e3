// Ids of vertices, faces and samples, and the worst misfit measured in a
// face. Private to the TIN unit; free of CGAL, for the sample pass kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace orvik::tin {

// Vertex and face ids are 32-bit; the largest values are markers.
inline constexpr std::uint32_t kNone = 0xFFFFFFFFu;
inline constexpr std::uint32_t kIdLimit = kNone - 1;

inline constexpr std::size_t kNoIndex = std::numeric_limits<std::size_t>::max();

// A sample's face id while it waits for its first measurement, and once it is excluded.
inline constexpr std::uint32_t kUnmeasured = kNone;
inline constexpr std::uint32_t kExcludedSample = kNone - 1;

// Where a sample's face id reads whether the sample waits for a measurement:
// face id i at i + 2, wrapping kExcludedSample to 0 (never waits) and
// kUnmeasured to 1 (always waits), so that one load with no branch decides.
constexpr std::uint32_t wait_slot(std::uint32_t face) {
    return face + 2u;
}
static_assert(wait_slot(kExcludedSample) == 0 && wait_slot(kUnmeasured) == 1);

// The worst misfitting sample measured in a face (err > 1 only), and the
// face's corner A then.
struct FaceWorst {
    double err = 1.0;
    std::uint32_t surface = kNone;
    std::uint32_t corner = kNone;
    std::size_t sample = 0;
};

}  // namespace orvik::tin
