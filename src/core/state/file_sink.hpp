// A sink that writes a state into an open file from a given offset on, so
// that a model file is written record by record without the records' states
// ever being whole in memory.
#pragma once

#include <cstdint>
#include <span>

#include "state/byte_io.hpp"

namespace orvik::state {

class FileSink final : public ByteSink {
  public:
    // Writes to `fd` (with pwrite, so the descriptor's offset is left alone)
    // at `offset` plus each state offset.
    FileSink(int fd, std::uint64_t offset) : fd_(fd), offset_(offset) {}

    Status write(std::uint64_t at, std::span<const std::byte> bytes) override;

  private:
    int fd_;
    std::uint64_t offset_;
};

}  // namespace orvik::state
