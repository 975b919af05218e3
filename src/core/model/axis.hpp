// One coordinate axis of a grid model, or the tile edges of a columns model:
// increasing float64 node coordinates and the lookup of the cell that holds a
// coordinate. The lookup starts from a table of evenly spaced bins, as a
// rule narrower than the narrowest cell, so that it takes at most a step or
// two, without branching on the coordinate, whatever the spacing of the
// nodes; the cell it finds depends on the nodes alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.hpp"

namespace orvik {

// Which of two cells a coordinate on their shared node belongs to.
enum class CellSide : std::uint8_t {
    Upper,  // nodes[i] <= c < nodes[i + 1]: the cell of larger index; the last node closes the last
            // cell
    Lower,  // nodes[i] < c <= nodes[i + 1]: the cell of smaller index; the first node closes the
            // first cell
};

// A located coordinate: its cell [nodes[index], nodes[index + 1]] and the
// weight of the cell's upper node, (c - nodes[index]) times the cell's
// reciprocal width 1 / (nodes[index + 1] - nodes[index]), worked out in
// float64 and rounded to float32: 0 on the lower node, 1 on the upper.
struct AxisCell {
    std::uint64_t index = 0;
    float weight = 0;
};

// What an axis may hold besides strictly increasing finite nodes.
struct AxisRules {
    bool repeats = false;        // a value twice in a row (a discontinuity), not at either end
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
    std::optional<AxisCell> locate(double c, CellSide side) const {
        if (!(first_ <= c && c <= last_)) return std::nullopt;
        const double* n = nodes_.data();
        double at = (c - origin_) * scale_;  // NaN or negative: the first bin
        at = at > 0 ? (at < last_bin_ ? at : last_bin_) : 0.0;
        // The largest i <= cells - 1 with n[i] <= c. The bin's start is a
        // node or two away at most (rounding of `at`, a repeated value), so
        // a step back and two forward, without branches, settle it; the
        // loops run only where the bins are coarser than some cell.
        std::size_t i = bins_[static_cast<std::size_t>(static_cast<std::int64_t>(at))];
        i -= static_cast<std::size_t>(i > 0) & static_cast<std::size_t>(n[i] > c);
        i += static_cast<std::size_t>(i + 1 < cells_) & static_cast<std::size_t>(n[i + 1] <= c);
        i += static_cast<std::size_t>(i + 1 < cells_) & static_cast<std::size_t>(n[i + 1] <= c);
        if ((i > 0 && n[i] > c) || (i + 1 < cells_ && n[i + 1] <= c)) [[unlikely]] {
            while (i > 0 && n[i] > c) --i;
            while (i + 1 < cells_ && n[i + 1] <= c) ++i;
        }
        if (side == CellSide::Lower && i > 0 && n[i] == c) {
            // On a node: the cell below it, below both nodes of a repeat.
            --i;
            if (i > 0 && n[i] == c) --i;
        }
        return AxisCell{i, static_cast<float>((c - n[i]) * reciprocal_[i])};
    }

    // Bytes held, for size estimates.
    std::uint64_t bytes() const {
        return 8 * (nodes_.size() + reciprocal_.size()) + 4 * bins_.size();
    }

  private:
    std::vector<double> nodes_;
    std::vector<double> reciprocal_;   // per cell: 1 / its width (0 for a zero-thickness cell)
    std::vector<std::uint32_t> bins_;  // per bin: the cell that holds the bin's lowest coordinate
    double first_ = 0, last_ = 0;      // nodes_.front() and nodes_.back()
    std::size_t cells_ = 0;            // nodes_.size() - 1
    double last_bin_ = 0;              // bins_.size() - 1
    double origin_ = 0;                // where the first bin starts
    double scale_ = 0;                 // bins per unit coordinate
};

}  // namespace orvik
