// Queries of a model tree beyond the single point: the row loop of the
// vectorised query and the instrumented single-point diagnostics.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "common/interrupt.hpp"
#include "common/morton_order.hpp"
#include "common/strided.hpp"
#include "model_tree/hit_iterator.hpp"
#include "model_tree/model_tree.hpp"

namespace orvik {

// The borrowed arrays of one vectorised query; lengths already checked.
struct QueryRows {
    StridedView<float, 1> x, y, z, depth;
    std::optional<StridedView<std::uint8_t, 1>> mask;  // numpy bool, 0 or 1
    MutableStridedView<float, 2> out;                  // (N, kQualityColumns)
};

// Below this many rows a batch is queried in row order: ordering it would
// cost more than the cache saves.
inline constexpr std::ptrdiff_t kOrderedMinRows = 1024;

// What query_rows needs beyond the arrays, allocated before the loop runs
// (so that running out of memory happens before any row is written):
// Morton-order scratch for `rows` rows, none when the batch has fewer than
// `ordered_from` rows. Throws std::bad_alloc when memory runs out.
class QueryScratch {
  public:
    explicit QueryScratch(std::ptrdiff_t rows, std::ptrdiff_t ordered_from = kOrderedMinRows,
                          std::ptrdiff_t chunk = MortonOrder::kChunk) {
        if (rows >= ordered_from && rows > 0) order_.emplace(rows, chunk);
    }
    MortonOrder* order() { return order_ ? &*order_ : nullptr; }

  private:
    std::optional<MortonOrder> order_;
};

// Writes the composite of every unmasked row that some model of [lo, hi]
// contains into its row of `out`; other rows are left as they are. A tree of
// one grid or columns model hands the rows to that model's own batch loop,
// in row order; otherwise a batch with ordering scratch is queried in Morton
// order (rows with a coordinate that is not a finite number last), a packet
// of nearby points at a time. Each row gets exactly the bits that
// query_rows_in_order gives it. False when `stop` ended the loop early:
// every row is then either untouched or whole.
bool query_rows(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo, std::uint8_t hi,
                QueryScratch& scratch, const Interrupt& stop = {});

// The same, one row after another with ModelTree::query: the reference.
bool query_rows_in_order(const ModelTree& tree, const QueryRows& rows, std::uint8_t lo,
                         std::uint8_t hi, const Interrupt& stop = {});

// ModelTree::query for a packet of up to MeshModel::kPacketLanes points
// (lane k, bit k of `live`, is points[k]; all of them are read). The
// enumerations of the points advance together, and points that reach the
// same model are located in it together. Writes out[k] for each lane that
// some model contains and returns those lanes; each is bit for bit what
// ModelTree::query returns.
unsigned query_packet(const ModelTree& tree, const QueryPoint* points, unsigned live,
                      std::uint8_t lo, std::uint8_t hi, Quality* out);

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
    std::optional<Quality> output;             // every hit blended in order
    std::optional<std::uint64_t> termination;  // hits the fold blends before stopping
};

// Every hit over the full priority range, all of them blended, and where
// the ordinary fold would have stopped.
Explanation explain(const ModelTree& tree, const QueryPoint& p);

}  // namespace orvik
