// Helpers shared by the grid and TIN GoogleTests.
#pragma once

#include <cstddef>
#include <vector>

#include "common/strided.hpp"

namespace orvik::testing {

// A C-ordered (m, n) view over `a`.
inline StridedView<double, 2> view_of(const std::vector<double>& a, std::ptrdiff_t m,
                                      std::ptrdiff_t n) {
    StridedView<double, 2> view;
    view.data = reinterpret_cast<const char*>(a.data());
    view.shape = {m, n};
    view.strides = {static_cast<std::ptrdiff_t>(n * sizeof(double)), sizeof(double)};
    return view;
}

}  // namespace orvik::testing
