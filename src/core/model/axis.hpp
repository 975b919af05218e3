// One coordinate axis of a grid model, or the tile edges of a columns model:
// increasing float64 node coordinates and the lookup of the cell that holds a
// coordinate. The lookup starts from a table of evenly spaced bins, so it
// takes a step or two whatever the spacing of the nodes; the cell it finds
// depends on the nodes alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace orvik {

// Which of two cells a coordinate on their shared node belongs to.
enum class CellSide : std::uint8_t {
    Upper,  // nodes[i] <= c < nodes[i + 1]: the cell of larger index; the last node closes the last cell
    Lower,  // nodes[i] < c <= nodes[i + 1]: the cell of smaller index; the first node closes the first cell
};

// A located coordinate: its cell [nodes[index], nodes[index + 1]] and the
// weight of the cell's upper node, (c - nodes[index]) / (nodes[index + 1] -
// nodes[index]) worked out in float64 and rounded to float32.
struct AxisCell {
    std::uint64_t index = 0;
    float weight = 0;
};

// What an axis may hold besides strictly increasing finite nodes.
struct AxisRules {
    bool repeats = false;       // a value twice in a row (a discontinuity), not at either end
    bool infinite_ends = false;  // -inf first and +inf last (tile edges only: no weights needed)
};

class Axis {
  public:
    Axis() = default;

    // Checks `nodes` against the rules (at least two nodes, no NaN, finite
    // unless the rules allow infinite ends, strictly increasing but for
    // allowed repeats) and builds the lookup. `what` names the axis in the
    // messages of the Value errors: "x must be strictly increasing; ...".
    static Result<Axis> make(std::vector<double> nodes, const std::string& what, AxisRules rules);

    const std::vector<double>& nodes() const { return nodes_; }
    std::uint64_t size() const { return nodes_.size(); }
    double first() const { return nodes_.front(); }
    double last() const { return nodes_.back(); }

    // The cell that holds `c`, by `side` on a shared node; nothing for a
    // coordinate outside [first, last] or NaN. A zero-thickness cell (a
    // repeated value) holds no coordinate: on the repeated value itself
    // Upper takes the cell above the repeat and Lower the cell below it.
    std::optional<AxisCell> locate(double c, CellSide side) const;

    // Bytes held, for size estimates.
    std::uint64_t bytes() const { return 8 * nodes_.size() + 4 * bins_.size(); }

  private:
    std::vector<double> nodes_;
    std::vector<std::uint32_t> bins_;  // per bin: the cell that holds the bin's lowest coordinate
    double origin_ = 0;                // where the first bin starts
    double scale_ = 0;                 // bins per unit coordinate
};

}  // namespace orvik
