#include "hierarchy/hierarchy.hpp"

#if ORVIK_EMBREE_MAJOR >= 4
#include <embree4/rtcore.h>
#else
#include <embree3/rtcore.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <new>
#include <numeric>
#include <utility>

namespace orvik::hierarchy {
namespace {

// Embree's view of a tree: nodes live in its thread-local arenas until the
// tree is copied out, then go with rtcReleaseBVH.
struct EmbreeNode {
    std::uint32_t count = 0;  // 0: interior; otherwise the number of shapes in the leaf
    const std::uint32_t* shapes = nullptr;
    EmbreeNode* child[2] = {nullptr, nullptr};
};

// Embree's allocator answers an exhausted address space with a null pointer
// (and an error code). The callbacks must not write through it: they record
// the failure and throw, which Embree's builder carries back to rtcBuildBVH
// as it does its own allocation failures, and the build ends without a tree.
struct BuildState {
    std::atomic<bool> out_of_memory{false};
};

void* checked_alloc(RTCThreadLocalAllocator alloc, std::size_t bytes, std::size_t align,
                    void* user) {
    void* mem = rtcThreadLocalAlloc(alloc, bytes, align);
    if (mem == nullptr) {
        static_cast<BuildState*>(user)->out_of_memory.store(true, std::memory_order_relaxed);
        throw std::bad_alloc();
    }
    return mem;
}

void* create_node(RTCThreadLocalAllocator alloc, unsigned int, void* user) {
    return new (checked_alloc(alloc, sizeof(EmbreeNode), alignof(EmbreeNode), user)) EmbreeNode{};
}

void set_children(void* node, void** children, unsigned int count, void*) {
    auto* n = static_cast<EmbreeNode*>(node);
    for (unsigned int i = 0; i < count && i < 2; ++i)
        n->child[i] = static_cast<EmbreeNode*>(children[i]);
}

// Our child boxes come from the original boxes, not from Embree's.
void set_bounds(void*, const RTCBounds**, unsigned int, void*) {}

void* create_leaf(RTCThreadLocalAllocator alloc, const RTCBuildPrimitive* prims, size_t count,
                  void* user) {
    auto* leaf =
        new (checked_alloc(alloc, sizeof(EmbreeNode), alignof(EmbreeNode), user)) EmbreeNode{};
    auto* shapes = static_cast<std::uint32_t*>(
        checked_alloc(alloc, sizeof(std::uint32_t) * count, alignof(std::uint32_t), user));
    for (size_t i = 0; i < count; ++i) shapes[i] = prims[i].primID;
    leaf->count = static_cast<std::uint32_t>(count);
    leaf->shapes = shapes;
    return leaf;
}

// One device for the process; a device that could not be created (short of
// memory, say) is asked for again at the next build.
RTCDevice shared_device() {
    static std::mutex mutex;
    static RTCDevice device = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (device == nullptr) device = rtcNewDevice(nullptr);
    return device;
}

// Embree bins centroids and multiplies areas by counts in float: keep every
// coordinate it sees finite and well inside the float range.
constexpr float kFeedLimit = 1e18f;

float feed(float v) {
    if (std::isnan(v)) return 0.0f;
    return std::clamp(v, -kFeedLimit, kFeedLimit);
}

// A NaN coordinate loses against a number; two NaNs stay NaN.
Box3 unite(const Box3& a, const Box3& b) {
    Box3 r;
    for (int k = 0; k < 3; ++k) {
        r.min[k] = std::fmin(a.min[k], b.min[k]);
        r.max[k] = std::fmax(a.max[k], b.max[k]);
    }
    return r;
}

// A subtree to number: an Embree node, or a run of shapes (from an oversized
// Embree leaf or from the fallback builder) split in halves.
struct Pending {
    const EmbreeNode* node;
    const std::uint32_t* shapes;
    std::uint32_t count;
    std::uint32_t parent;  // kInterior for the root
    bool right;
};

// Copies a tree into pre-order, then fills the child boxes bottom-up.
class Flattener {
  public:
    Flattener(std::span<const Box3> boxes, BinaryTree& out) : boxes_(boxes), out_(out) {
        out_.nodes.reserve(2 * boxes.size() - 1);
    }

    void run(Pending root) {
        stack_.push_back(root);
        while (!stack_.empty()) {
            Pending p = stack_.back();
            stack_.pop_back();
            const auto index = static_cast<std::uint32_t>(out_.nodes.size());
            out_.nodes.emplace_back();
            if (p.parent != kInterior) {
                BinaryNode& parent = out_.nodes[p.parent];
                (p.right ? parent.right : parent.left) = index;
            }
            if (p.node != nullptr && p.node->count == 0) {
                // Right pushed first so that the left subtree is numbered first.
                stack_.push_back({p.node->child[1], nullptr, 0, index, true});
                stack_.push_back({p.node->child[0], nullptr, 0, index, false});
                continue;
            }
            const std::uint32_t* shapes = p.node != nullptr ? p.node->shapes : p.shapes;
            const std::uint32_t count = p.node != nullptr ? p.node->count : p.count;
            if (count == 1) {
                out_.nodes[index].shape = shapes[0];
                continue;
            }
            const std::uint32_t half = count / 2;
            stack_.push_back({nullptr, shapes + half, count - half, index, true});
            stack_.push_back({nullptr, shapes, half, index, false});
        }
        fill_boxes();
    }

  private:
    void fill_boxes() {
        std::vector<Box3> subtree(out_.nodes.size());
        for (std::size_t i = out_.nodes.size(); i-- > 0;) {
            BinaryNode& n = out_.nodes[i];
            if (n.is_leaf()) {
                subtree[i] = boxes_[n.shape];
            } else {
                n.left_box = subtree[n.left];
                n.right_box = subtree[n.right];
                subtree[i] = unite(n.left_box, n.right_box);
            }
        }
    }

    std::span<const Box3> boxes_;
    BinaryTree& out_;
    std::vector<Pending> stack_;
};

// False when Embree cannot build (no device, depth limit); std::bad_alloc
// when memory ran out, which no other builder would escape either.
bool build_with_embree(std::span<const Box3> boxes, BinaryTree& out) {
    RTCDevice device = shared_device();
    if (device == nullptr) {
        if (rtcGetDeviceError(nullptr) == RTC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        return false;
    }
    (void)rtcGetDeviceError(device);  // reading clears a code left by an earlier call

    const std::size_t n = boxes.size();
    // Spare capacity lets Embree use the array as scratch space.
    std::vector<RTCBuildPrimitive> prims(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        RTCBuildPrimitive& p = prims[i];
        p.lower_x = feed(boxes[i].min[0]);
        p.lower_y = feed(boxes[i].min[1]);
        p.lower_z = feed(boxes[i].min[2]);
        p.upper_x = std::max(p.lower_x, feed(boxes[i].max[0]));
        p.upper_y = std::max(p.lower_y, feed(boxes[i].max[1]));
        p.upper_z = std::max(p.lower_z, feed(boxes[i].max[2]));
        p.geomID = 0;
        p.primID = static_cast<unsigned int>(i);
    }

    RTCBVH bvh = rtcNewBVH(device);
    if (bvh == nullptr) {
        if (rtcGetDeviceError(device) == RTC_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
        return false;
    }
    BuildState state;

    RTCBuildArguments args = rtcDefaultBuildArguments();
    args.byteSize = sizeof(args);
    args.buildQuality = RTC_BUILD_QUALITY_MEDIUM;
    args.buildFlags = RTC_BUILD_FLAG_NONE;
    args.maxBranchingFactor = 2;
    args.maxDepth = 1024;
    args.sahBlockSize = 1;
    args.minLeafSize = 1;
    args.maxLeafSize = 1;
    args.traversalCost = 1.0f;
    args.intersectionCost = 1.0f;
    args.bvh = bvh;
    args.primitives = prims.data();
    args.primitiveCount = n;
    args.primitiveArrayCapacity = prims.size();
    args.createNode = create_node;
    args.setNodeChildren = set_children;
    args.setNodeBounds = set_bounds;
    args.createLeaf = create_leaf;
    args.splitPrimitive = nullptr;
    args.buildProgress = nullptr;
    args.userPtr = &state;

    const auto* root = static_cast<const EmbreeNode*>(rtcBuildBVH(&args));
    const bool out_of_memory =
        root == nullptr && (state.out_of_memory.load(std::memory_order_relaxed) ||
                            rtcGetDeviceError(device) == RTC_ERROR_OUT_OF_MEMORY);
    if (root != nullptr) {
        try {
            Flattener(boxes, out).run({root, nullptr, 0, kInterior, false});
        } catch (...) {
            rtcReleaseBVH(bvh);
            throw;
        }
    }
    rtcReleaseBVH(bvh);
    if (out_of_memory) throw std::bad_alloc();
    return root != nullptr;
}

// Used only when Embree cannot build (device unavailable, depth limit):
// median splits along the widest centroid axis, ties broken by index.
void build_fallback(std::span<const Box3> boxes, BinaryTree& out) {
    std::vector<std::uint32_t> order(boxes.size());
    std::iota(order.begin(), order.end(), 0u);
    auto centre = [&](std::uint32_t s, int axis) {
        return feed(boxes[s].min[axis]) * 0.5f + feed(boxes[s].max[axis]) * 0.5f;
    };
    std::vector<std::pair<std::size_t, std::size_t>> work{{0, order.size()}};
    while (!work.empty()) {
        auto [lo, hi] = work.back();
        work.pop_back();
        if (hi - lo < 2) continue;
        float cmin[3] = {INFINITY, INFINITY, INFINITY};
        float cmax[3] = {-INFINITY, -INFINITY, -INFINITY};
        for (std::size_t i = lo; i < hi; ++i) {
            for (int k = 0; k < 3; ++k) {
                const float c = centre(order[i], k);
                cmin[k] = std::min(cmin[k], c);
                cmax[k] = std::max(cmax[k], c);
            }
        }
        int axis = 0;
        for (int k = 1; k < 3; ++k) {
            if (cmax[k] - cmin[k] > cmax[axis] - cmin[axis]) axis = k;
        }
        const std::size_t mid = lo + (hi - lo) / 2;
        std::nth_element(order.begin() + lo, order.begin() + mid, order.begin() + hi,
                         [&](std::uint32_t a, std::uint32_t b) {
                             const float ca = centre(a, axis);
                             const float cb = centre(b, axis);
                             return ca < cb || (ca == cb && a < b);
                         });
        work.push_back({lo, mid});
        work.push_back({mid, hi});
    }
    // Halving the ordered run reproduces exactly the median splits above.
    Flattener(boxes, out)
        .run({nullptr, order.data(), static_cast<std::uint32_t>(order.size()), kInterior, false});
}

}  // namespace

BinaryTree build(std::span<const Box3> boxes) {
    BinaryTree tree;
    if (boxes.empty()) return tree;
    if (boxes.size() == 1) {
        tree.nodes.emplace_back();
        tree.nodes[0].shape = 0;
        return tree;
    }
    if (!build_with_embree(boxes, tree)) {
        tree.nodes.clear();
        build_fallback(boxes, tree);
    }
    return tree;
}

}  // namespace orvik::hierarchy
