// The two argument holders of the vectorised query, shared between their
// class definitions and PyModelTree.query_many.
#pragma once

#include <cstdint>

#include "frame/object.hpp"

namespace orvik::py {

struct QueryParamsValue {
    std::uint8_t priority_lo = 0;
    std::uint8_t priority_hi = 0;
};

// Strong references to the caller's arrays (mask may be null); they are
// borrowed only while a query runs.
struct QueryCoordinatesValue {
    PyObject* x = nullptr;
    PyObject* y = nullptr;
    PyObject* z = nullptr;
    PyObject* depth = nullptr;
    PyObject* mask = nullptr;
};

using QueryParamsObject = Instance<QueryParamsValue>;
using QueryCoordinatesObject = Instance<QueryCoordinatesValue>;

}  // namespace orvik::py
