// XXH64, the 64-bit xxHash of a byte string: the checksum of a state's
// payload, computed by libxxhash. The streaming form lets a reader hash each
// part while it is still in cache from being copied.
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
    // libxxhash's XXH64_state_t, kept out of this header (checksum.cpp
    // checks that it fits).
    alignas(8) std::byte state_[88];
};

std::uint64_t xxh64(std::span<const std::byte> bytes, std::uint64_t seed = 0);

}  // namespace orvik::state
