// The refiner's records of faces and candidates. Private to the TIN unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tin/ids.hpp"
#include "tin/triangulation.hpp"

namespace orvik::tin {

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
