#include "model_file/model_file.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "model_file/json_check.hpp"
#include "model_file/model_file_format.hpp"
#include "state/checksum.hpp"
#include "state/state_format.hpp"

namespace orvik::model_file {
namespace {

template <class T>
void store(std::byte* out, T value) {
    std::memcpy(out, &value, sizeof value);
}

template <class T>
T load(const std::byte* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}

Error invalid(const std::string& what) {
    return Error::value("invalid orvik model file: " + what);
}

std::uint64_t align_up(std::uint64_t n) {
    return (n + kRecordAlignment - 1) / kRecordAlignment * kRecordAlignment;
}

std::uint64_t table_end(std::uint32_t records) {
    return kHeaderSize + std::uint64_t{records} * kRecordEntrySize;
}

// XXH64 of header bytes 0..55 and the record table that follows the header.
std::uint64_t header_checksum(const std::byte* file, std::uint32_t records) {
    state::Xxh64 hash;
    hash.update({file, kHeaderSize - 8});
    hash.update({file + kHeaderSize, table_end(records) - kHeaderSize});
    return hash.digest();
}

std::string n(std::uint64_t v) {
    return std::to_string(v);
}

std::string bytes(std::uint64_t v) {
    return n(v) + (v == 1 ? " byte" : " bytes");
}

// What a file that does not start with the magic tag most likely is.
Error foreign(std::span<const std::byte> file) {
    const auto starts = [&](std::span<const std::uint8_t> tag) {
        return file.size() >= tag.size() && std::memcmp(file.data(), tag.data(), tag.size()) == 0;
    };
    if (starts(state::kMagic)) {
        return invalid(
            "it is a bare orvik state (the bytes that pickling writes), not a model file");
    }
    if (!file.empty() && file[0] == std::byte{0x80}) {
        return invalid("it looks like a pickle, which is never loaded (it could run code)");
    }
    return invalid("the magic tag is missing (not an orvik model file)");
}

// The frame's fields after the header checksum passed: lengths and offsets.
Status check_extent(std::span<const std::byte> head, std::uint64_t file_size, std::uint32_t count,
                    Contents& out) {
    const std::byte* h = head.data();
    const auto declared = load<std::uint64_t>(h + 24);
    if (declared > file_size) {
        return invalid("truncated: the header announces " + bytes(declared) + ", " + n(file_size) +
                       " are present");
    }
    if (declared < file_size) {
        return invalid("the file is " + bytes(file_size - declared) +
                       " longer than the header announces (" + bytes(declared) + ")");
    }
    if (load<std::uint64_t>(h + 40) != 0 || load<std::uint64_t>(h + 48) != 0) {
        return invalid("the reserved header fields are not zero");
    }
    const auto json_length = load<std::uint64_t>(h + 16);
    const std::uint64_t json_at = table_end(count);
    if (json_length > kMaxMetadataBytes) {
        return invalid("the metadata block of " + bytes(json_length) + " exceeds the limit of " +
                       bytes(kMaxMetadataBytes));
    }
    if (json_length > declared - json_at) {
        return invalid("the metadata block of " + bytes(json_length) +
                       " runs past the end of the file");
    }
    std::uint64_t end = json_at + json_length;
    if (end > head.size()) return Error::internal("the frame was not read whole");
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::byte* entry = h + kHeaderSize + k * kRecordEntrySize;
        const RecordSpan span{load<std::uint64_t>(entry), load<std::uint64_t>(entry + 8)};
        const std::uint64_t expected = align_up(end);
        if (span.offset != expected) {
            return invalid("record " + n(k) + " starts at byte " + n(span.offset) +
                           ", not at byte " + n(expected));
        }
        if (span.offset > declared || span.length > declared - span.offset) {
            return invalid("record " + n(k) + " (" + bytes(span.length) + " at byte " +
                           n(span.offset) + ") runs past the end of the file");
        }
        for (std::uint64_t i = end; i < span.offset && i < head.size(); ++i) {
            if (h[i] != std::byte{0}) {
                return invalid("the padding before record " + n(k) + " is not zero (byte " + n(i) +
                               ")");
            }
        }
        out.records.push_back(span);
        end = span.offset + span.length;
    }
    if (end != declared) {
        return invalid("the file goes on for " + bytes(declared - end) + " after its last record");
    }
    out.metadata = std::string_view(reinterpret_cast<const char*>(h + json_at), json_length);
    return ok_status();
}

}  // namespace

Result<Layout> layout(std::string_view metadata, std::span<const std::uint64_t> record_lengths) {
    if (record_lengths.empty() || record_lengths.size() > kMaxRecords) {
        return Error::value("a model file holds 1 to " + n(kMaxRecords) + " records; got " +
                            n(record_lengths.size()));
    }
    if (metadata.size() > kMaxMetadataBytes) {
        return Error::value("the metadata of " + n(metadata.size()) +
                            " bytes exceeds the limit of " + n(kMaxMetadataBytes) + " bytes");
    }
    if (Status json = json::check_object(metadata); !json) {
        return Error::value("the metadata is not valid JSON: " + json.error().message);
    }
    const auto count = static_cast<std::uint32_t>(record_lengths.size());
    const std::uint64_t json_at = table_end(count);
    Layout out;
    std::uint64_t end = json_at + metadata.size();
    for (std::uint64_t length : record_lengths) {
        const std::uint64_t offset = align_up(end);
        if (length > UINT64_MAX - offset) return Error::value("the records are too long");
        out.records.push_back({offset, length});
        end = offset + length;
    }
    out.file_length = end;
    out.prefix.assign(out.records.front().offset, std::byte{0});
    std::byte* h = out.prefix.data();
    std::memcpy(h, kMagic.data(), kMagic.size());
    store<std::uint32_t>(h + 8, kFormatVersion);
    store<std::uint32_t>(h + 12, count);
    store<std::uint64_t>(h + 16, metadata.size());
    store<std::uint64_t>(h + 24, out.file_length);
    store<std::uint64_t>(h + 32, state::xxh64({reinterpret_cast<const std::byte*>(metadata.data()),
                                               metadata.size()}));
    for (std::uint32_t k = 0; k < count; ++k) {
        store<std::uint64_t>(h + kHeaderSize + k * kRecordEntrySize, out.records[k].offset);
        store<std::uint64_t>(h + kHeaderSize + k * kRecordEntrySize + 8, out.records[k].length);
    }
    if (!metadata.empty()) std::memcpy(h + json_at, metadata.data(), metadata.size());
    store<std::uint64_t>(h + 56, header_checksum(h, count));
    return out;
}

Result<Contents> open(std::span<const std::byte> file) {
    return open(file, file.size());
}

std::uint64_t frame_end(std::span<const std::byte> head) {
    if (head.size() < kHeaderSize) return kHeaderSize;
    const auto count = std::min(load<std::uint32_t>(head.data() + 12), kMaxRecords);
    return table_end(count) + std::min(load<std::uint64_t>(head.data() + 16), kMaxMetadataBytes);
}

Result<Contents> open(std::span<const std::byte> head, std::uint64_t file_size) {
    if (head.size() > file_size) return Error::internal("more bytes read than the file holds");
    if (file_size == 0) return invalid("the file is empty");
    const std::size_t tag = std::min(file_size, std::uint64_t{kMagic.size()});
    if (head.size() < tag) return Error::internal("the frame was not read whole");
    if (std::memcmp(head.data(), kMagic.data(), tag) != 0) return foreign(head);
    if (file_size < kHeaderSize) {
        return invalid("truncated to " + bytes(file_size) + ", shorter than the " + n(kHeaderSize) +
                       "-byte header");
    }
    if (head.size() < kHeaderSize) return Error::internal("the frame was not read whole");
    const std::byte* h = head.data();
    Contents out;
    out.version = load<std::uint32_t>(h + 8);
    if (out.version == 0) return invalid("format version 0 does not exist");
    if (out.version > kFormatVersion) {
        return invalid("format version " + n(out.version) +
                       " is newer than this orvik reads (up to " + n(kFormatVersion) + ")");
    }
    const auto count = load<std::uint32_t>(h + 12);
    if (count == 0 || count > kMaxRecords) {
        return invalid("the header's record count " + n(count) + " is not 1 to " + n(kMaxRecords) +
                       " (the header is corrupted)");
    }
    if (file_size < table_end(count)) {
        return invalid("truncated to " + bytes(file_size) + ", inside the record table");
    }
    if (head.size() < table_end(count)) return Error::internal("the frame was not read whole");
    if (header_checksum(h, count) != load<std::uint64_t>(h + 56)) {
        return invalid("the header checksum does not match (the header is corrupted)");
    }
    if (Status extent = check_extent(head, file_size, count, out); !extent) return extent.error();
    const std::uint64_t sum = state::xxh64(
        {reinterpret_cast<const std::byte*>(out.metadata.data()), out.metadata.size()});
    if (sum != load<std::uint64_t>(h + 32)) {
        return invalid("the metadata checksum does not match (the metadata is corrupted)");
    }
    if (Status json = json::check_object(out.metadata); !json) {
        return invalid("the metadata is not valid JSON: " + json.error().message);
    }
    return out;
}

}  // namespace orvik::model_file
