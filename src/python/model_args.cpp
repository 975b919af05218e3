#include "model_args.hpp"

#include <string>

#include "common/quoted.hpp"
#include "frame/arrays.hpp"
#include "frame/convert.hpp"
#include "frame/errors.hpp"

namespace orvik::py {

bool to_vertical(PyObject* o, const char* param, VerticalMode& out) {
    std::string vertical;
    if (!to_string(o, param, vertical)) return false;
    if (vertical == "elevation") {
        out = VerticalMode::Elevation;
    } else if (vertical == "depth") {
        out = VerticalMode::Depth;
    } else {
        raise_value("vertical must be 'elevation' or 'depth', got " + quoted(vertical));
        return false;
    }
    return true;
}

bool to_optional_transform(PyObject* o, const char* param, std::optional<Transform>& out) {
    out.reset();
    if (o == nullptr || o == Py_None) return true;
    ArrayArg<float, 2> array;
    if (!array.extract(o, param)) return false;
    const StridedView<float, 2> a = array.view();
    if (a.size(0) != 4 || a.size(1) != 4) {
        raise_value(std::string(param) + " must have shape (4, 4); got (" +
                    std::to_string(a.size(0)) + ", " + std::to_string(a.size(1)) + ")");
        return false;
    }
    Transform t{};
    for (std::ptrdiff_t i = 0; i < 4; ++i) {
        for (std::ptrdiff_t j = 0; j < 4; ++j) t[static_cast<std::size_t>(4 * i + j)] = a.at(i, j);
    }
    out = t;
    return true;
}

bool to_optional_name(PyObject* o, const char* param, std::string& out) {
    out.clear();
    return o == nullptr || to_string(o, param, out);
}

}  // namespace orvik::py
