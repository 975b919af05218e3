#include "state/envelope.hpp"

#include <tbb/parallel_invoke.h>

#include <cstring>

#include "state/checksum.hpp"

namespace orvik::state {
namespace {

template <class T>
void store(std::span<std::byte> out, std::size_t at, T value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}

template <class T>
T load(std::span<const std::byte> in, std::size_t at) {
    T value;
    std::memcpy(&value, in.data() + at, sizeof value);
    return value;
}

Error invalid(const std::string& what) {
    return Error::value("invalid orvik state: " + what);
}

}  // namespace

Error corrupt(StateKind kind, const std::string& what) {
    return Error::value(std::string("corrupt ") + kind_name(static_cast<std::uint32_t>(kind)) +
                        " state: " + what);
}

std::array<std::byte, kHeaderSize> header(StateKind kind, std::uint64_t length,
                                          std::uint64_t checksum) {
    std::array<std::byte, kHeaderSize> h{};
    std::memcpy(h.data(), kMagic.data(), kMagic.size());
    store<std::uint32_t>(h, 8, kFormatVersion);
    store<std::uint32_t>(h, 12, static_cast<std::uint32_t>(kind));
    store<std::uint64_t>(h, 16, length);
    store<std::uint64_t>(h, 24, checksum);
    return h;
}

void seal(StateKind kind, std::span<std::byte> state) {
    const std::span<const std::byte> payload = state.subspan(kHeaderSize);
    const auto h = header(kind, payload.size(), xxh64(payload));
    std::memcpy(state.data(), h.data(), h.size());
}

void beside(const std::function<void()>& a, const std::function<void()>& b) {
    tbb::parallel_invoke(a, b);
}

Error checksum_mismatch() {
    return invalid("the checksum does not match (the bytes are corrupted)");
}

Result<Sealed> open(StateKind expected, std::span<const std::byte> state) {
    if (state.size() < kHeaderSize) {
        return invalid("truncated to " + std::to_string(state.size()) +
                       " bytes, shorter than the 32-byte header");
    }
    if (std::memcmp(state.data(), kMagic.data(), kMagic.size()) != 0) {
        return invalid("the magic tag is missing (not a state written by orvik)");
    }
    const auto version = load<std::uint32_t>(state, 8);
    if (version > kFormatVersion) {
        return invalid("format version " + std::to_string(version) +
                       " is newer than this orvik reads (up to " + std::to_string(kFormatVersion) +
                       ")");
    }
    if (version == 0) return invalid("format version 0 does not exist");
    const auto kind = load<std::uint32_t>(state, 12);
    const char* name = kind_name(kind);
    if (name == nullptr) return invalid("unknown kind " + std::to_string(kind));
    if (kind != static_cast<std::uint32_t>(expected)) {
        return invalid(std::string("it holds a ") + name + ", not a " +
                       kind_name(static_cast<std::uint32_t>(expected)));
    }
    if (version < first_version(expected)) {
        return invalid(std::string("a ") + name + " state needs format version " +
                       std::to_string(first_version(expected)) + ", the header gives " +
                       std::to_string(version));
    }
    const auto length = load<std::uint64_t>(state, 16);
    const std::size_t present = state.size() - kHeaderSize;
    if (length > present) {
        return invalid("truncated: the header announces " + std::to_string(length) +
                       " payload bytes, " + std::to_string(present) + " are present");
    }
    if (length < present) {
        return invalid(std::to_string(present - length) + " bytes follow the " +
                       std::to_string(length) + "-byte payload");
    }
    return Sealed{state.subspan(kHeaderSize), load<std::uint64_t>(state, 24), version};
}

}  // namespace orvik::state
