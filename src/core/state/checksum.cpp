#include "state/checksum.hpp"

#include <bit>
#include <cstring>

namespace orvik::state {
namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

// Little-endian reads; the format is only built for little-endian hosts.
inline std::uint64_t read64(const std::byte* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t read32(const std::byte* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t round(std::uint64_t acc, std::uint64_t input) {
    acc += input * kPrime2;
    acc = std::rotl(acc, 31);
    return acc * kPrime1;
}

inline std::uint64_t merge(std::uint64_t acc, std::uint64_t lane) {
    acc ^= round(0, lane);
    return acc * kPrime1 + kPrime4;
}

// How far ahead the stripes are prefetched. The hardware prefetcher stops at
// every 4 KiB page, and a mapped file is a run of such pages: without this
// the hash waits on memory at the start of each one (a third of its time).
constexpr std::ptrdiff_t kPrefetchAhead = 2048;

// Whole 32-byte stripes of [p, end); returns where the unconsumed rest starts.
// Four independent lanes keep the multipliers busy.
const std::byte* stripes(std::uint64_t* v, const std::byte* p, const std::byte* end) {
    while (end - p >= 64) {
        __builtin_prefetch(p + kPrefetchAhead);  // never faults, even past the end
        for (int half = 0; half < 2; ++half, p += 32) {
            v[0] = round(v[0], read64(p));
            v[1] = round(v[1], read64(p + 8));
            v[2] = round(v[2], read64(p + 16));
            v[3] = round(v[3], read64(p + 24));
        }
    }
    while (end - p >= 32) {
        v[0] = round(v[0], read64(p));
        v[1] = round(v[1], read64(p + 8));
        v[2] = round(v[2], read64(p + 16));
        v[3] = round(v[3], read64(p + 24));
        p += 32;
    }
    return p;
}

}  // namespace

Xxh64::Xxh64(std::uint64_t seed)
    : seed_(seed), lanes_{seed + kPrime1 + kPrime2, seed + kPrime2, seed, seed - kPrime1} {}

void Xxh64::update(std::span<const std::byte> bytes) {
    if (bytes.empty()) return;
    const std::byte* p = bytes.data();
    const std::byte* const end = p + bytes.size();
    total_ += bytes.size();
    if (pending_size_ > 0) {
        const std::size_t take = std::min<std::size_t>(32 - pending_size_, bytes.size());
        std::memcpy(pending_ + pending_size_, p, take);
        pending_size_ += take;
        p += take;
        if (pending_size_ < 32) return;
        stripes(lanes_, pending_, pending_ + 32);
        pending_size_ = 0;
    }
    p = stripes(lanes_, p, end);
    pending_size_ = static_cast<std::size_t>(end - p);
    if (pending_size_ > 0) std::memcpy(pending_, p, pending_size_);
}

std::uint64_t Xxh64::digest() const {
    std::uint64_t h;
    if (total_ >= 32) {
        const std::uint64_t* v = lanes_;
        h = std::rotl(v[0], 1) + std::rotl(v[1], 7) + std::rotl(v[2], 12) + std::rotl(v[3], 18);
        h = merge(h, v[0]);
        h = merge(h, v[1]);
        h = merge(h, v[2]);
        h = merge(h, v[3]);
    } else {
        h = seed_ + kPrime5;
    }
    h += total_;
    const std::byte* p = pending_;
    const std::byte* const end = pending_ + pending_size_;
    while (end - p >= 8) {
        h ^= round(0, read64(p));
        h = std::rotl(h, 27) * kPrime1 + kPrime4;
        p += 8;
    }
    if (end - p >= 4) {
        h ^= static_cast<std::uint64_t>(read32(p)) * kPrime1;
        h = std::rotl(h, 23) * kPrime2 + kPrime3;
        p += 4;
    }
    while (p < end) {
        h ^= static_cast<std::uint64_t>(std::to_integer<std::uint8_t>(*p)) * kPrime5;
        h = std::rotl(h, 11) * kPrime1;
        ++p;
    }
    h ^= h >> 33;
    h *= kPrime2;
    h ^= h >> 29;
    h *= kPrime3;
    h ^= h >> 32;
    return h;
}

std::uint64_t xxh64(std::span<const std::byte> bytes, std::uint64_t seed) {
    Xxh64 hash(seed);
    hash.update(bytes);
    return hash.digest();
}

}  // namespace orvik::state
