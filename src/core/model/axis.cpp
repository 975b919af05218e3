#include "model/axis.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

namespace orvik {
namespace {

// Numbers as the messages show them: 17 significant digits, enough for any
// double to read back as itself.
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
        if (std::isnan(n[i]))
            return what + " must not hold NaN; node " + std::to_string(i) + " is NaN";
        const bool end_allowed =
            rules.infinite_ends && ((i == 0 && n[i] < 0) || (i == last && n[i] > 0));
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
                   std::to_string(i - 2) + " to " + std::to_string(i) + " all are " + number(n[i]);
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
    // The bins span the finite nodes (all but infinite ends): as many as it
    // takes to make each no wider than the narrowest cell, and at least four
    // per cell, up to a limit; an axis whose finite span is empty or
    // overflows keeps one bin and walks.
    const std::size_t lo = std::isinf(n.front()) ? 1 : 0;
    const std::size_t hi = std::isinf(n.back()) ? n.size() - 2 : n.size() - 1;
    axis.origin_ = n[lo];
    const double span = n[hi] - n[lo];
    double narrowest = span;
    for (std::size_t c = lo; c < hi; ++c) {
        if (n[c + 1] > n[c]) narrowest = std::min(narrowest, n[c + 1] - n[c]);
    }
    constexpr double kMostBins = double{1 << 20};
    const double wanted =
        std::max(4.0 * static_cast<double>(cells), std::ceil(span / narrowest) + 1);
    const std::size_t bins =
        std::isfinite(span) && span > 0 ? static_cast<std::size_t>(std::min(wanted, kMostBins)) : 1;
    axis.scale_ = bins > 1 ? static_cast<double>(bins) / span : 0.0;
    axis.bins_.resize(bins);
    axis.first_ = n.front();
    axis.last_ = n.back();
    axis.cells_ = cells;
    axis.last_bin_ = static_cast<double>(bins - 1);
    axis.reciprocal_.resize(cells);
    for (std::size_t c = 0; c < cells; ++c) {
        const double width = n[c + 1] - n[c];
        axis.reciprocal_[c] = width > 0 ? 1.0 / width : 0.0;
        if (std::isinf(axis.reciprocal_[c]) && std::isfinite(n[c]) && std::isfinite(n[c + 1])) {
            return Error::value(what + " has a cell too thin to interpolate across, between " +
                                node(c, n[c]) + " and " + node(c + 1, n[c + 1]));
        }
    }
    std::size_t i = 0;
    for (std::size_t b = 0; b < bins; ++b) {
        const double start = bins > 1 ? n[lo] + static_cast<double>(b) / axis.scale_ : n[lo];
        while (i + 1 < cells && n[i + 1] <= start) ++i;
        axis.bins_[b] = static_cast<std::uint32_t>(i);
    }
    return axis;
}

}  // namespace orvik
