// A file's bytes held read-only in memory, for records that borrow their
// arrays from a model file in place. The pages live as long as their last
// holder (a shared_ptr: the loaded records hold it too) and are unmapped then.
//
// The bytes are a copy in anonymous pages of the process's own, not a mapping
// of the file: nothing done to the file afterwards (renamed over, deleted,
// truncated or rewritten in place by `cp`) reaches them. A mapping of the
// file would not survive the last two: reading a page past a new end raises
// SIGBUS, and pages that stay are seen with their new bytes (a private
// mapping protects against neither).
#pragma once

#include <cstddef>
#include <memory>
#include <span>

#include "common/result.hpp"

namespace orvik {

class MappedFile {
  public:
    // Reads the first `length` bytes of the open regular file `fd` (from
    // offset 0, whatever the descriptor's position) into new page-aligned
    // memory of its own, made read-only once filled. Fails with a Value error
    // when the file ends before `length` bytes (it shrank meanwhile).
    static Result<std::shared_ptr<const MappedFile>> read(int fd, std::size_t length);

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
