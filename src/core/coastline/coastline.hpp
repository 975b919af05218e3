// Signed distance from points to a coastline: straight segments closing into
// rings, negative inside (enclosed by an odd number of rings).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "common/strided.hpp"

namespace orvik {

struct Segment {
    float ax, ay;  // endpoint 0
    float bx, by;  // endpoint 1
};

// Index for the nearest-segment search, derived from the shared binary
// hierarchy: interior nodes hold their children's boxes (padded outward by a
// few ulps so that float rounding of a closest point never escapes them);
// every subtree of at most four segments is collapsed into one leaf of
// exactly four segment slots (short leaves repeat their last segment).
struct CoastlineNode {
    float min_x[2], min_y[2], max_x[2], max_y[2];  // child 0, child 1
    std::uint32_t child[2];  // bit 31 set: leaf number; otherwise a node index
};

struct CoastlineLeaf {
    float ax[4], ay[4], bx[4], by[4];
};

// Segments that can flip the inside flag, bucketed by y: a segment sits in
// every bucket that its [min y, max y] range touches, sorted by decreasing
// max x so that a scan stops at the first one left of the ray.
struct CrossingEntry {
    float ax, ay, bx, by;
    float min_x, max_x, min_y, max_y;  // the segment's box, NaN losing
};

struct CoastlineIndex {
    std::vector<CoastlineNode> nodes;
    std::vector<CoastlineLeaf> leaves;
    std::uint32_t root = 0;   // meaningful only with segments
    std::uint32_t depth = 0;  // interior levels on the longest root-to-leaf path

    double bucket_origin = 0.0;
    double bucket_scale = 0.0;
    double bucket_top = 0.0;                // largest max y: no crossing at or above it
    std::vector<std::size_t> bucket_start;  // buckets + 1 offsets into `crossing`
    std::vector<CrossingEntry> crossing;
    std::vector<CrossingEntry> unbucketed;  // non-finite y range: always scanned
};

struct Coastline {
    std::vector<Segment> segments;
    CoastlineIndex index;
    float far_x = -INFINITY;

    // From an (S, 2, 2) view indexed [segment, endpoint, (x, y)].
    static Result<Coastline> build(const StridedView<float, 3>& segments);

    static float signed_distance(const Coastline& coastline, float x, float y);
    // out[k] = signed distance of (x[k], y[k]); x and y of equal length.
    // False when `stop` ended the loop early.
    static bool signed_distance_many(const Coastline& coastline, const StridedView<float, 1>& x,
                                     const StridedView<float, 1>& y, float* out,
                                     const Interrupt& stop = {});

    // The squared distance from (px, py) to one segment, in float32, in the
    // order that fixes its rounding.
    static float squared_distance(const Segment& s, float px, float py);
};

}  // namespace orvik
