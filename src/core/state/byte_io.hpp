// Writing and reading the sections of a state. The writer either counts
// (no buffer) or copies into a buffer of exactly the counted size; the reader
// never reads past its input and never allocates more than the bytes that
// remain could fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "common/huge_pages.hpp"
#include "state/checksum.hpp"
#include "state/state_format.hpp"

namespace orvik::state {

class ByteWriter {
  public:
    // Counts only when `out` is null.
    explicit ByteWriter(std::byte* out = nullptr) : out_(out) {}

    std::size_t size() const { return pos_; }

    void bytes(const void* data, std::size_t n) {
        if (out_ && n > 0) std::memcpy(out_ + pos_, data, n);
        pos_ += n;
    }

    template <class T>
    void scalar(T value) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&value, sizeof value);
    }

    template <class T>
    void array(const std::vector<T>& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(static_cast<const void*>(v.data()), v.size() * sizeof(T));
    }

    // Zero bytes up to the next multiple of kAlignment.
    void pad() {
        while (pos_ % kAlignment != 0) scalar<std::uint8_t>(0);
    }

  private:
    std::byte* out_;
    std::size_t pos_ = 0;
};

// Reads a payload front to back and hashes every byte it consumes, in
// cache-sized pieces right after copying them, so that the checksum costs no
// second pass over memory.
class ByteReader {
  public:
    // `base_offset` is where the payload sits in the state; padding is
    // measured from the start of the state.
    ByteReader(std::span<const std::byte> in, std::size_t base_offset)
        : in_(in), base_(base_offset) {}

    std::size_t remaining() const { return in_.size() - pos_; }

    bool bytes(void* out, std::size_t n) {
        if (n > remaining()) return false;
        if (n > 0) std::memcpy(out, in_.data() + pos_, n);
        consume(n);
        return true;
    }

    template <class T>
    bool scalar(T& out) {
        static_assert(std::is_trivially_copyable_v<T>);
        return bytes(&out, sizeof out);
    }

    // `count` elements; false, with nothing allocated, when they cannot all be
    // present. After each piece, `visit(data, from, to)` may check elements
    // [from, to) while they are still in cache; data[0, to) are in place.
    template <class T, class Visit>
    bool array(std::vector<T>& out, std::uint64_t count, Visit&& visit);

    template <class T>
    bool array(std::vector<T>& out, std::uint64_t count) {
        return array(out, count, [](const T*, std::size_t, std::size_t) {});
    }

    bool text(std::string& out, std::uint64_t length) {
        if (length > remaining()) return false;
        out.assign(reinterpret_cast<const char*>(in_.data() + pos_),
                   static_cast<std::size_t>(length));
        consume(static_cast<std::size_t>(length));
        return true;
    }

    enum class Pad { Ok, Missing, Nonzero };

    // Skips to the next multiple of kAlignment, whose bytes must be zero.
    Pad pad() {
        while ((base_ + pos_) % kAlignment != 0) {
            std::uint8_t b = 0;
            if (!scalar(b)) return Pad::Missing;
            if (b != 0) return Pad::Nonzero;
        }
        return Pad::Ok;
    }

    // Hashes whatever has not been read and returns the payload's checksum.
    std::uint64_t checksum() {
        consume(remaining());
        return hash_.digest();
    }

  private:
    void consume(std::size_t n) {
        hash_.update(in_.subspan(pos_, n));
        pos_ += n;
    }

    std::span<const std::byte> in_;
    std::size_t base_;
    std::size_t pos_ = 0;
    Xxh64 hash_;
};

template <class T, class Visit>
bool ByteReader::array(std::vector<T>& out, std::uint64_t count, Visit&& visit) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (count > remaining() / sizeof(T)) return false;
    const std::size_t n = static_cast<std::size_t>(count);
    out.clear();
    out.reserve(n);
    prefer_huge_pages(out.data(), n * sizeof(T));
    // Copy-constructing from the input skips the zero fill of resize(); a
    // misaligned input (a memoryview slice, say) takes the byte copy.
    const bool aligned = reinterpret_cast<std::uintptr_t>(in_.data() + pos_) % alignof(T) == 0;
    if (!aligned) out.resize(n);
    constexpr std::size_t kPiece = std::max<std::size_t>(1, (std::size_t{64} << 10) / sizeof(T));
    for (std::size_t done = 0; done < n;) {
        const std::size_t k = std::min(kPiece, n - done);
        const std::byte* src = in_.data() + pos_;
        if (aligned) {
            const T* first = reinterpret_cast<const T*>(src);
            out.insert(out.end(), first, first + k);
        } else {
            std::memcpy(static_cast<void*>(out.data() + done), src, k * sizeof(T));
        }
        consume(k * sizeof(T));
        visit(static_cast<const T*>(out.data()), done, done + k);
        done += k;
    }
    return true;
}

}  // namespace orvik::state
