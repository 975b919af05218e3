// The model file: a velocity model (and the records that go with it) kept on
// disk, behind a header and a block of JSON metadata. This comment is the one
// description of the format.
//
// Every number is little-endian.
//
// Header (64 bytes)
//   0  8 bytes  magic tag 89 4F 52 56 4D 0D 0A 1A ("\x89ORVM\r\n\x1a")
//   8  u32      file format version, kFormatVersion
//  12  u32      record count R, 1 to kMaxRecords
//  16  u64      metadata length J in bytes, at most kMaxMetadataBytes
//  24  u64      file length in bytes
//  32  u64      XXH64 (seed 0) of the metadata
//  40  u64      zero (reserved)
//  48  u64      zero (reserved)
//  56  u64      XXH64 (seed 0) of header bytes 0 to 55 followed by the record table
//  64  record table: R entries of 16 bytes, u64 offset and u64 length of each
//      record, in file order
//  64 + 16 R    the metadata: J bytes of UTF-8 text, one JSON object (RFC 8259,
//               strict: no duplicate keys, no NaN, nesting at most 64 deep)
//      zero bytes up to the first record
//      the records, each starting at the first multiple of kRecordAlignment
//      at or after the end of what precedes it, zero bytes between them; the
//      file ends where the last record ends
//
// Each record is a binary state of the module's records (state/state_format.hpp,
// whichever version it is): the file checks only where records lie, the state
// reader checks what they hold. Records start on page boundaries, so that a
// memory map of the file holds each state at an address aligned as its arrays
// need. What each record is (its name and kind) is said by the metadata.
//
// Nothing in a file is free to vary: a file is determined by its metadata and
// its records' bytes, and the reader accepts exactly the files that the writer
// makes.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace orvik::model_file {

static_assert(std::endian::native == std::endian::little,
              "the model file is read and written in the host's little-endian order");

inline constexpr std::array<std::uint8_t, 8> kMagic = {0x89, 'O', 'R', 'V', 'M', '\r', '\n', 0x1A};
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::size_t kHeaderSize = 64;
inline constexpr std::size_t kRecordEntrySize = 16;
inline constexpr std::uint32_t kMaxRecords = 64;
inline constexpr std::uint64_t kMaxMetadataBytes = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kRecordAlignment = 4096;

}  // namespace orvik::model_file
