// The location of a packet of points in a mesh model: a kernel, built once
// per instruction set (packet_kernel.cpp, common/isa.hpp).
#pragma once

#include <cstdint>

#include "common/isa.hpp"
#include "model/leaf_test.hpp"
#include "model/mesh_model.hpp"

namespace orvik {

// The located points of a packet: the simplex position and weights (w3
// not yet set) of each lane that some simplex contains.
struct PacketHits {
    Weights w[MeshModel::kPacketLanes];
    std::uint32_t found[MeshModel::kPacketLanes];
};

// Locates the world points (x[k], y[k], v[k]) of the lanes in `live` (all
// kPacketLanes entries are read) as MeshModel::query does, each lane
// meeting its leaves in the order of its own walk, the node boxes tested
// in the widest float lanes of the build. Returns the lanes found; their
// simplices and weights go to `at`.
ORVIK_KERNEL(unsigned locate_packet(const MeshModel& model, const float* x, const float* y,
                                    const float* v, unsigned live, PacketHits& at))

}  // namespace orvik
