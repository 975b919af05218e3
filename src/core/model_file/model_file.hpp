// Writing and checking the frame of a model file (model_file_format.hpp): the
// header, the record table, the metadata and the padding. The records' own
// bytes are binary states, which the state readers check when they are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace orvik::model_file {

// Where one record lies in the file, in bytes.
struct RecordSpan {
    std::uint64_t offset;
    std::uint64_t length;
};

struct Layout {
    // The first bytes of the file: header, record table, metadata and the
    // zero bytes up to the first record.
    std::vector<std::byte> prefix;
    std::vector<RecordSpan> records;
    std::uint64_t file_length;
};

// The frame of a file that holds `metadata` and records of the given lengths.
// Fails with a Value error when the metadata is not a JSON object that the
// reader accepts, is longer than kMaxMetadataBytes, or the number of records
// is not 1 to kMaxRecords.
Result<Layout> layout(std::string_view metadata, std::span<const std::uint64_t> record_lengths);

struct Contents {
    std::uint32_t version;
    std::string_view metadata;  // inside the checked bytes
    std::vector<RecordSpan> records;
};

// Checks the whole frame of `file` (every byte but the records' own) and
// returns where its parts lie. A Value error "invalid orvik model file: ..."
// says what is wrong. Reads nothing outside `file`; allocates the record
// table and what the metadata check needs, both bounded by the file's size.
Result<Contents> open(std::span<const std::byte> file);

// The same checks on the first bytes `head` of a file of `file_size` bytes,
// which must reach at least frame_end(head) (or the file's end): the zero
// bytes between records are checked only as far as `head` reaches. Lets a
// reader refuse a file from its first bytes before reading it whole.
Result<Contents> open(std::span<const std::byte> head, std::uint64_t file_size);

// How many first bytes of a file open(head, file_size) needs: the header, the
// record table and the metadata as the header in `head` announces them (each
// capped at the format's limits), or the header's size when `head` holds no
// whole header.
std::uint64_t frame_end(std::span<const std::byte> head);

}  // namespace orvik::model_file
