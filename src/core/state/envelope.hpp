// The 32-byte header around every payload: magic tag, version, kind, length
// and checksum.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

#include "common/result.hpp"
#include "state/byte_io.hpp"
#include "state/state_format.hpp"

namespace orvik::state {

// Fills the header of `state`, whose payload (after kHeaderSize bytes) is
// already written.
void seal(StateKind kind, std::span<std::byte> state);

struct Sealed {
    std::span<const std::byte> payload;
    std::uint64_t checksum;  // as the header gives it
    std::uint32_t version;   // the format version the payload is written in
};

// The payload of a state of the `expected` kind once the header checks out;
// the checksum is compared by read_sealed(), which hashes while it reads.
Result<Sealed> open(StateKind expected, std::span<const std::byte> state);

Error checksum_mismatch();

// The Value error "corrupt {kind} state: {what}".
Error corrupt(StateKind kind, const std::string& what);

// Writes a header placeholder, the payload through `put`, then the header.
template <class Record, class Put>
std::size_t sealed_size(const Record& record, Put put) {
    ByteWriter counter;
    put(counter, record);
    return kHeaderSize + counter.size();
}

template <class Record, class Put>
void write_sealed(StateKind kind, const Record& record, std::span<std::byte> out, Put put) {
    ByteWriter writer(out.data() + kHeaderSize);
    put(writer, record);
    seal(kind, out);
}

// Reads the payload with `take` (given the reader, and the format version
// when it asks for it) and concludes: a checksum that does not match wins
// over every other finding (a corrupted state says so, whatever else broke),
// then the reader's own error, then bytes left over.
template <class Record, class Take>
Result<Record> read_sealed(StateKind kind, std::span<const std::byte> state, Take take) {
    Result<Sealed> sealed = open(kind, state);
    if (!sealed) return sealed.error();
    ByteReader reader(sealed->payload, kHeaderSize);
    Result<Record> record = [&] {
        if constexpr (std::is_invocable_v<Take&, ByteReader&, std::uint32_t>) {
            return take(reader, sealed->version);
        } else {
            return take(reader);
        }
    }();
    const std::size_t left = reader.remaining();
    if (reader.checksum() != sealed->checksum) return checksum_mismatch();
    if (!record) return record;
    if (left != 0)
        return corrupt(kind, std::to_string(left) + " bytes follow the end of the record");
    return record;
}

}  // namespace orvik::state
