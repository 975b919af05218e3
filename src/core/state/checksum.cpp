#include "state/checksum.hpp"

#include <algorithm>

// The header alone, its functions inlined here: nothing to ship beside the
// module, and the compiler sees through the calls.
#define XXH_INLINE_ALL
#include <xxhash.h>

namespace orvik::state {
namespace {

static_assert(sizeof(XXH64_state_t) <= 88 && alignof(XXH64_state_t) <= 8,
              "Xxh64 holds libxxhash's state in place");

XXH64_state_t* held(std::byte* state) {
    return reinterpret_cast<XXH64_state_t*>(state);
}

// How far ahead the input is prefetched. The hardware prefetcher stops at
// every 4 KiB page, and a mapped file is a run of such pages: without this
// the hash waits on memory at the start of each one (a third of its time).
constexpr std::size_t kPrefetchAhead = 2048;
constexpr std::size_t kStep = 4096;  // bytes hashed between two prefetch runs

}  // namespace

Xxh64::Xxh64(std::uint64_t seed) {
    XXH64_reset(held(state_), seed);
}

void Xxh64::update(std::span<const std::byte> bytes) {
    const std::byte* p = bytes.data();
    for (std::size_t left = bytes.size(); left > 0;) {
        const std::size_t take = std::min(left, kStep);
        // Prefetches never fault, even past the end.
        for (std::size_t at = 0; at < take; at += 64) __builtin_prefetch(p + kPrefetchAhead + at);
        XXH64_update(held(state_), p, take);
        p += take;
        left -= take;
    }
}

std::uint64_t Xxh64::digest() const {
    return XXH64_digest(reinterpret_cast<const XXH64_state_t*>(state_));
}

std::uint64_t xxh64(std::span<const std::byte> bytes, std::uint64_t seed) {
    Xxh64 hash(seed);
    hash.update(bytes);
    return hash.digest();
}

}  // namespace orvik::state
