#include "model/axis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace orvik {
namespace {

// Numbers as the messages show them: shortest round-trip form.
std::string number(double v) {
    std::ostringstream s;
    s.precision(17);
    s << v;
    return s.str();
}

std::string node(std::size_t i, double v) {
    return "node " + std::to_string(i) + " (" + number(v) + ")";
}

std::optional<std::string> problem(const std::vector<double>& n, const std::string& what,
                                   AxisRules rules) {
    if (n.size() < 2) {
        return what + " must hold at least two nodes; got " + std::to_string(n.size());
    }
    if (n.size() > std::numeric_limits<std::uint32_t>::max()) {
        return what + " holds more than 2^32 - 1 nodes";
    }
    const std::size_t last = n.size() - 1;
    for (std::size_t i = 0; i < n.size(); ++i) {
        if (std::isnan(n[i])) return what + " must not hold NaN; node " + std::to_string(i) + " is NaN";
        const bool end_allowed = rules.infinite_ends && ((i == 0 && n[i] < 0) || (i == last && n[i] > 0));
        if (std::isinf(n[i]) && !end_allowed) {
            return what + " must hold finite numbers; " + node(i, n[i]) + " is not" +
                   (rules.infinite_ends ? " (only the first may be -inf and the last +inf)" : "");
        }
    }
    for (std::size_t i = 1; i < n.size(); ++i) {
        if (n[i] > n[i - 1]) continue;
        if (n[i] < n[i - 1] || !rules.repeats) {
            return what + " must be strictly increasing; " + node(i, n[i]) + " is not above " +
                   node(i - 1, n[i - 1]);
        }
        if (i == 1 || i == last) {
            return what + " must not repeat its first or last node; " + node(i, n[i]) +
                   " repeats " + node(i - 1, n[i - 1]);
        }
        if (n[i - 2] == n[i]) {
            return what + " may repeat a value only once (a discontinuity); nodes " +
                   std::to_string(i - 2) + " to " + std::to_string(i) + " all are " +
                   number(n[i]);
        }
    }
    return std::nullopt;
}

}  // namespace

Result<Axis> Axis::make(std::vector<double> nodes, const std::string& what, AxisRules rules) {
    if (auto p = problem(nodes, what, rules)) return Error::value(*p);
    Axis axis;
    axis.nodes_ = std::move(nodes);
    const std::vector<double>& n = axis.nodes_;
    const std::size_t cells = n.size() - 1;
    // The bins span the finite nodes (all but infinite ends), four per cell
    // on average, so that a lookup rarely walks; an axis whose finite span
    // is empty or overflows keeps one bin and walks.
    const std::size_t lo = std::isinf(n.front()) ? 1 : 0;
    const std::size_t hi = std::isinf(n.back()) ? n.size() - 2 : n.size() - 1;
    axis.origin_ = n[lo];
    const double span = n[hi] - n[lo];
    const std::size_t bins = std::isfinite(span) && span > 0
                                 ? std::min<std::size_t>(4 * cells, std::size_t{1} << 20)
                                 : 1;
    axis.scale_ = bins > 1 ? static_cast<double>(bins) / span : 0.0;
    axis.bins_.resize(bins);
    std::size_t i = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        const double start = bins > 1 ? n[lo] + static_cast<double>(b) / axis.scale_ : n[lo];
        while (i + 1 < cells && n[i + 1] <= start) ++i;
        axis.bins_[b] = static_cast<std::uint32_t>(i);
    }
    return axis;
}

std::optional<AxisCell> Axis::locate(double c, CellSide side) const {
    const std::vector<double>& n = nodes_;
    if (!(n.front() <= c && c <= n.back())) return std::nullopt;
    const std::size_t cells = n.size() - 1;
    const double at = (c - origin_) * scale_;  // NaN or negative: the first bin
    const std::size_t b = !(at > 0) ? 0
                          : at < static_cast<double>(bins_.size()) ? static_cast<std::size_t>(at)
                                                                   : bins_.size() - 1;
    // The largest i <= cells - 1 with n[i] <= c; the bin is only a start.
    std::size_t i = bins_[b];
    while (i > 0 && n[i] > c) --i;
    while (i + 1 < cells && n[i + 1] <= c) ++i;
    if (side == CellSide::Lower && i > 0 && n[i] == c) {
        // On a node: the cell below it, below both nodes of a repeat.
        --i;
        if (i > 0 && n[i] == c) --i;
    }
    const double t = (c - n[i]) / (n[i + 1] - n[i]);
    return AxisCell{i, static_cast<float>(t)};
}

}  // namespace orvik
