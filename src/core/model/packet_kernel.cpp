// The walk of a packet of points and its leaf tests. A kernel: compiled once
// per instruction set, so that the node boxes are tested eight points per
// comparison where the processor has AVX, four with SSE2.
#include "model/packet_kernel.hpp"

#include <bit>

#include "common/lanes.hpp"
#include "common/transform.hpp"
#include "compact_bvh/compact_bvh.hpp"

namespace orvik::ORVIK_ISA {

unsigned locate_packet(const MeshModel& model, const float* x, const float* y, const float* v,
                       unsigned live, PacketHits& at) {
    using V = lanes::Floats;
    constexpr int kLanes = MeshModel::kPacketLanes;
    constexpr int kWidth = lanes::width<V>;
    PointLanes<kLanes / kWidth, V> points;
    // The points in local coordinates, lane by lane as `query` has them.
    alignas(32) float xs[kLanes], ys[kLanes], zs[kLanes];
    for (int g = 0; g < kLanes / kWidth; ++g) {
        V lx = lanes::load<V>(x + kWidth * g);
        V ly = lanes::load<V>(y + kWidth * g);
        V lz = lanes::load<V>(v + kWidth * g);
        if (model.transform) to_local(*model.transform, lx, ly, lz);
        points.x[g] = lx;
        points.y[g] = ly;
        points.z[g] = lz;
        lanes::store(xs + kWidth * g, lx);
        lanes::store(ys + kWidth * g, ly);
        lanes::store(zs + kWidth * g, lz);
    }
    const SimplexRecord* simplices = model.simplices.data();
    PacketStack stack;
    return walk_leaves_packet(model.nodes.data(), model.root, points, live, stack,
                              [&](std::uint32_t first, std::uint32_t count, unsigned active) {
                                  // One transposed leaf serves every point that reaches it.
                                  const leaf_test::LeafLanes l =
                                      leaf_test::load_leaf(simplices, first, count);
                                  unsigned done = 0;
                                  for (unsigned a = active; a != 0; a &= a - 1) {
                                      const unsigned k = static_cast<unsigned>(std::countr_zero(a));
                                      const std::uint32_t i = leaf_test::first_containing(
                                          l, count, xs[k], ys[k], zs[k], at.w[k]);
                                      if (i < count) {
                                          at.found[k] = first + i;
                                          done |= 1u << k;
                                          // The face is read once every lane is done.
                                          __builtin_prefetch(&model.faces[first + i]);
                                      }
                                  }
                                  return done;
                              });
}

}  // namespace orvik::ORVIK_ISA
