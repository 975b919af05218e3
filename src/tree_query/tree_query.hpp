// Queries of a model tree beyond the single point: the row loop of the
// vectorised query and the instrumented single-point diagnostics.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/interrupt.hpp"
#include "common/strided.hpp"
#include "model_tree/model_tree.hpp"
#include "tree_query/hit_iterator.hpp"

namespace orvik {

// The borrowed arrays of one vectorised query; lengths already checked.
struct QueryRows {
    StridedView<float, 1> x, y, z, depth;
    std::optional<StridedView<std::uint8_t, 1>> mask;  // numpy bool, 0 or 1
    MutableStridedView<float, 2> out;                  // (N, 6)
};

// Writes the composite of every unmasked row that some model of [lo, hi]
// contains into its row of `out`; other rows are left as they are. False when
// `stop` ended the loop early: every row is then either untouched or whole.
bool query_rows(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo, std::uint8_t hi,
                const Interrupt& stop = {});

struct QueryStats {
    std::uint64_t aabb_tests = 0;
    std::uint64_t simplex_tests = 0;
    std::uint64_t hit_count = 0;
    std::optional<Quality> output;
    std::uint64_t elapsed_ns = 0;
};

// A counting walk over every admitted node, then the fold with its hits
// counted, timed together on a monotonic clock; full priority range.
QueryStats query_stats(const ModelTree& tree, const QueryPoint& p);

struct Explanation {
    std::vector<Hit> contributions;
    std::optional<Quality> output;                // every hit blended in order
    std::optional<std::uint64_t> termination;     // hits the fold blends before stopping
};

// Every hit over the full priority range, all of them blended, and where
// the ordinary fold would have stopped.
Explanation explain(const ModelTree& tree, const QueryPoint& p);

}  // namespace orvik
