// The model file's share of the state fuzzer: inputs whose first byte has
// bits 5 to 7 equal to 100 reach the frame of a model file (header, record
// table, JSON metadata, padding) instead of a bare state. The low two bits of
// that byte choose what the rest is:
//   0  a whole file;
//   1  edits (as for states) of a real file holding a model tree and a grid;
//   2  metadata text, framed with the real records by model_file::layout;
//   3  edits of the real file, after which both checksums are made right, so
//      that the edits reach the checks behind them.
// A frame must either be refused with a Value error or be exactly the frame
// that model_file::layout makes of its metadata and record lengths; the
// records of an accepted file then go to the state readers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz/state_case.hpp"
#include "model_file/json_check.hpp"
#include "model_file/model_file.hpp"
#include "model_file/model_file_format.hpp"
#include "state/checksum.hpp"

namespace orvik::fuzz {

namespace detail {

inline constexpr std::string_view kSampleMetadata =
    R"({"orvik_file": "velocity model", "records": [{"name": "tree", "kind": "model tree"},)"
    R"( {"name": "surface", "kind": "structured grid"}], "crs": "EPSG:32610",)"
    R"( "units": {"x": "m", "vs": "km/s"}, "description": "caf\u00e9 \ud83d\ude00 \"q\"",)"
    R"( "extent": [[0, 0, -1.5e3], [1, 1, 0]], "attributes": {"n": -0.25E-2, "ok": [true,)"
    R"( false, null, {}], "empty": []}})";

inline std::vector<std::byte> frame(std::string_view metadata,
                                    const std::vector<std::vector<std::byte>>& records) {
    std::vector<std::uint64_t> lengths;
    for (const auto& r : records) lengths.push_back(r.size());
    auto layout = model_file::layout(metadata, lengths);
    if (!layout) return {};
    std::vector<std::byte> file(layout->file_length, std::byte{0});
    std::memcpy(file.data(), layout->prefix.data(), layout->prefix.size());
    for (std::size_t k = 0; k < records.size(); ++k) {
        if (!records[k].empty())
            std::memcpy(file.data() + layout->records[k].offset, records[k].data(),
                        records[k].size());
    }
    return file;
}

inline const std::vector<std::vector<std::byte>>& sample_records() {
    static const std::vector<std::vector<std::byte>> records = {sample_state(2), sample_state(3)};
    return records;
}

inline const std::vector<std::byte>& sample_file() {
    static const std::vector<std::byte> file = frame(kSampleMetadata, sample_records());
    return file;
}

template <class T>
T load_le(const std::byte* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Makes the header's metadata and header checksums right for what the bytes
// now say, where the header and record table are there to be summed.
inline void reseal(std::vector<std::byte>& f) {
    using namespace model_file;
    if (f.size() < kHeaderSize) return;
    const auto count = load_le<std::uint32_t>(f.data() + 12);
    if (count == 0 || count > kMaxRecords) return;
    const std::size_t table_end = kHeaderSize + count * kRecordEntrySize;
    if (f.size() < table_end) return;
    const auto json_length = load_le<std::uint64_t>(f.data() + 16);
    if (json_length <= f.size() - table_end) {
        const std::uint64_t sum = state::xxh64({f.data() + table_end, json_length});
        std::memcpy(f.data() + 32, &sum, 8);
    }
    state::Xxh64 hash;
    hash.update({f.data(), kHeaderSize - 8});
    hash.update({f.data() + kHeaderSize, table_end - kHeaderSize});
    const std::uint64_t sum = hash.digest();
    std::memcpy(f.data() + 56, &sum, 8);
}

// The check of a file's first bytes (what a reader does before reading the
// whole file) refuses nothing that the whole file's check accepts, and
// finds the same frame.
inline bool early_check_agrees(std::span<const std::byte> file,
                               Result<model_file::Contents>& whole) {
    const auto head = file.first(std::min<std::uint64_t>(model_file::frame_end(file), file.size()));
    auto early = model_file::open(head, file.size());
    if (!early) return early.error().kind == ErrorKind::Value && !whole;
    if (!whole) return true;  // the zero bytes between records lie beyond the first bytes
    if (early->version != whole->version || early->metadata != whole->metadata ||
        early->records.size() != whole->records.size()) {
        return false;
    }
    for (std::size_t k = 0; k < early->records.size(); ++k) {
        if (early->records[k].offset != whole->records[k].offset ||
            early->records[k].length != whole->records[k].length) {
            return false;
        }
    }
    return true;
}

inline CaseOutcome read_back_file(std::span<const std::byte> file) {
    auto contents = model_file::open(file);
    if (!early_check_agrees(file, contents)) return CaseOutcome::Broken;
    if (!contents) {
        return contents.error().kind == ErrorKind::Value ? CaseOutcome::Refused
                                                         : CaseOutcome::Broken;
    }
    // One encoding per file: the frame is what layout makes of its parts.
    std::vector<std::uint64_t> lengths;
    for (const auto& span : contents->records) lengths.push_back(span.length);
    auto again = model_file::layout(contents->metadata, lengths);
    if (!again || again->file_length != file.size() ||
        std::memcmp(again->prefix.data(), file.data(), again->prefix.size()) != 0) {
        return CaseOutcome::Broken;
    }
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        const auto begin = contents->records[k].offset;
        const auto end = k + 1 < lengths.size() ? contents->records[k + 1].offset : file.size();
        for (auto i = begin + lengths[k]; i < end; ++i) {
            if (file[i] != std::byte{0}) return CaseOutcome::Broken;
        }
        const auto record = file.subspan(begin, lengths[k]);
        if (record.size() < state::kHeaderSize) continue;
        const auto kind = load_le<std::uint32_t>(record.data() + 12);
        if (state::kind_name(kind) == nullptr) continue;
        if (read_back(static_cast<state::StateKind>(kind), record) == CaseOutcome::Broken) {
            return CaseOutcome::Broken;
        }
    }
    return CaseOutcome::Accepted;
}

// Metadata text: the check and the framing must agree, and a framed file
// must open to the same text.
inline CaseOutcome metadata_case(std::string_view text) {
    const Status checked = json::check_object(text);
    if (!checked && checked.error().kind != ErrorKind::Value) return CaseOutcome::Broken;
    const std::vector<std::byte> file = frame(text, sample_records());
    if (file.empty()) return checked ? CaseOutcome::Broken : CaseOutcome::Refused;
    if (!checked) return CaseOutcome::Broken;
    auto contents = model_file::open(file);
    if (!contents || contents->metadata != text) return CaseOutcome::Broken;
    return read_back_file(file);
}

}  // namespace detail

inline bool is_model_file_case(std::uint8_t mode) {
    return (mode & 0xE0) == 0x80;
}

inline CaseOutcome run_model_file_case(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return CaseOutcome::Refused;
    const int what = data[0] & 3;
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    if (what == 2) {
        return detail::metadata_case({reinterpret_cast<const char*>(rest.data()), rest.size()});
    }
    std::vector<std::byte> f;
    if (what == 0) {
        f.resize(rest.size());
        if (!rest.empty()) std::memcpy(f.data(), rest.data(), rest.size());
    } else {
        f = detail::sample_file();
        detail::apply_edits(f, rest.data(), rest.size());
        if (what == 3) detail::reseal(f);
    }
    return detail::read_back_file(f);
}

// Every input of the state fuzzer: a model file's frame or a bare state.
inline CaseOutcome run_fuzz_state_input(const std::uint8_t* data, std::size_t size) {
    if (size > 0 && is_model_file_case(data[0])) return run_model_file_case(data, size);
    return run_state_case(data, size);
}

}  // namespace orvik::fuzz
