// A file's bytes mapped read-only into memory, for records that borrow their
// arrays from a model file in place. The mapping lives as long as its last
// holder (a shared_ptr: the loaded records hold it too) and is unmapped then.
//
// A mapping stays valid when the file is renamed over or deleted (the old
// contents live on until they are unmapped), which is how orvik.save replaces
// a file. It does not survive the file being truncated or rewritten in place
// by someone else (`cp new.orvik model.orvik`, a truncating `open`): reading a
// page past the new end then raises SIGBUS in the process, and pages that
// stay are seen with their new bytes. A private mapping does not protect
// against either; callers that cannot rule this out read the file into memory
// instead.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "common/result.hpp"

namespace orvik {

class MappedFile {
  public:
    // Maps the whole of the open file `fd` read-only, its pages populated
    // from the page cache at once (a model is read in full right after it is
    // mapped). The descriptor may be closed afterwards. An empty file gives
    // an empty mapping. System errors name the call that failed.
    static Result<std::shared_ptr<const MappedFile>> map(int fd);

    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    std::span<const std::byte> bytes() const { return {data_, size_}; }

  private:
    MappedFile(const std::byte* data, std::size_t size) : data_(data), size_(size) {}

    const std::byte* data_;
    std::size_t size_;
};

}  // namespace orvik
