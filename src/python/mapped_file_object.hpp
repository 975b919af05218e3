// orvik._native.MappedFile: a file mapped read-only, as a Python object that
// exports its bytes through the buffer protocol and lends them to the records
// read from it (which keep the mapping alive after the object is gone).
#pragma once

#include "frame/python.hpp"

#include <memory>

#include "common/mapped_file.hpp"
#include "frame/object.hpp"

namespace orvik::py {

using MappedFileObject = Instance<std::shared_ptr<const MappedFile>>;

HeapType& mapped_file_type();

// The mapping that `o` holds, or nullptr with a TypeError naming `param`
// when `o` is no MappedFile.
const std::shared_ptr<const MappedFile>* mapped_file_of(PyObject* o, const char* param);

}  // namespace orvik::py
