// Which vertical coordinate a model reads: the elevation z of a query point
// (up is positive) or its depth below the topography (down is positive).
#pragma once

#include <cstdint>

namespace orvik {

enum class VerticalMode : std::uint8_t { Elevation = 0, Depth = 1 };

}  // namespace orvik
