// XXH64, the 64-bit xxHash of a byte string: the checksum of a state's
// payload. The streaming form lets a reader hash each part while it is still
// in cache from being copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvik::state {

class Xxh64 {
  public:
    explicit Xxh64(std::uint64_t seed = 0);

    void update(std::span<const std::byte> bytes);
    // The hash of everything given so far; the state stays usable.
    std::uint64_t digest() const;

  private:
    std::uint64_t seed_;
    std::uint64_t lanes_[4];
    std::uint64_t total_ = 0;
    std::byte pending_[32];  // the start of an incomplete 32-byte stripe
    std::size_t pending_size_ = 0;
};

std::uint64_t xxh64(std::span<const std::byte> bytes, std::uint64_t seed = 0);

}  // namespace orvik::state
