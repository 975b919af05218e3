// The refiner's records of faces, samples and candidates. Private to the TIN
// unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "tin/triangulation.hpp"

namespace orvik::tin {

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

// A face id's slot (fixed for the life of the id), the worst sample measured
// in it since it last changed, and what the refresh compares and keeps: one
// cache line, as a refresh reads the records of faces all over the id range.
struct alignas(64) FaceRecord {
    FaceHandle handle;
    FaceWorst worst;
    std::array<const void*, 3> corners{};  // the face's vertices at the last refresh
    bool live = false;                     // finite at the last refresh
    // Live, bit i: the edge opposite corner i is constrained; and of those,
    // the edges found to need no boundary point from this face since its
    // corners and constraints were last set.
    std::uint8_t constrained_edges = 0;
    std::uint8_t fitting_edges = 0;
};

enum class CandidateKind { SurfaceFit, EdgeSplit };

struct Candidate {
    CandidateKind kind;
    std::uint32_t surface;
    double z;
    double x, y;
    bool on_constraint;
    std::uint32_t from, to;
    std::uint32_t face;
    std::uint32_t hint;
    std::size_t sample = kNoIndex;  // the sample's number among all samples, if one
};

}  // namespace orvik::tin
