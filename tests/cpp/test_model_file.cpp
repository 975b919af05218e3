#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/model_file_case.hpp"
#include "model_file/json_check.hpp"
#include "model_file/model_file.hpp"
#include "model_file/model_file_format.hpp"
#include "state/checksum.hpp"

namespace orvik {
namespace {

using Bytes = std::vector<std::byte>;
using fuzz::CaseOutcome;
using fuzz::detail::frame;
using fuzz::detail::reseal;
using fuzz::detail::sample_file;
using fuzz::detail::sample_records;

template <class T>
T field(const Bytes& f, std::size_t at) {
    T v;
    std::memcpy(&v, f.data() + at, sizeof v);
    return v;
}

template <class T>
void set_field(Bytes& f, std::size_t at, T v) {
    std::memcpy(f.data() + at, &v, sizeof v);
}

std::string refusal(const Bytes& f) {
    auto r = model_file::open(f);
    if (r) return "(accepted)";
    EXPECT_EQ(r.error().kind, ErrorKind::Value);
    return r.error().message;
}

// --- the frame as written ---------------------------------------------------------

struct Shape {
    std::size_t metadata_bytes;
    std::vector<std::uint64_t> lengths;
};

class LayoutShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(LayoutShapes, HeaderTableMetadataAndRecordsLieWhereTheFormatSays) {
    const Shape& shape = GetParam();
    std::string metadata = "{\"k\": \"";
    metadata += std::string(shape.metadata_bytes - metadata.size() - 2, 'x') + "\"}";
    ASSERT_EQ(metadata.size(), shape.metadata_bytes);
    auto layout = model_file::layout(metadata, shape.lengths);
    ASSERT_TRUE(layout) << layout.error().message;
    const Bytes& p = layout->prefix;
    const std::size_t count = shape.lengths.size();
    const std::size_t json_at = 64 + 16 * count;
    EXPECT_EQ(std::memcmp(p.data(), "\x89ORVM\r\n\x1a", 8), 0);
    EXPECT_EQ(field<std::uint32_t>(p, 8), 1u);
    EXPECT_EQ(field<std::uint32_t>(p, 12), count);
    EXPECT_EQ(field<std::uint64_t>(p, 16), metadata.size());
    EXPECT_EQ(field<std::uint64_t>(p, 24), layout->file_length);
    EXPECT_EQ(field<std::uint64_t>(p, 32),
              state::xxh64({reinterpret_cast<const std::byte*>(metadata.data()), metadata.size()}));
    EXPECT_EQ(field<std::uint64_t>(p, 40), 0u);
    EXPECT_EQ(field<std::uint64_t>(p, 48), 0u);
    Bytes summed(p.begin(), p.begin() + 56);
    summed.insert(summed.end(), p.begin() + 64, p.begin() + static_cast<std::ptrdiff_t>(json_at));
    EXPECT_EQ(field<std::uint64_t>(p, 56), state::xxh64(summed));
    EXPECT_EQ(std::memcmp(p.data() + json_at, metadata.data(), metadata.size()), 0);
    // Records on page boundaries, each right after the one before, rounded up.
    std::uint64_t end = json_at + metadata.size();
    for (std::size_t k = 0; k < count; ++k) {
        const auto offset = field<std::uint64_t>(p, 64 + 16 * k);
        EXPECT_EQ(offset, (end + 4095) / 4096 * 4096) << k;
        EXPECT_EQ(field<std::uint64_t>(p, 72 + 16 * k), shape.lengths[k]);
        EXPECT_EQ(layout->records[k].offset, offset);
        end = offset + shape.lengths[k];
    }
    EXPECT_EQ(layout->file_length, end);
    EXPECT_EQ(p.size(), layout->records[0].offset);
    for (std::size_t i = json_at + metadata.size(); i < p.size(); ++i)
        ASSERT_EQ(p[i], std::byte{0});

    // What the writer makes, the reader takes back as it was.
    std::vector<Bytes> records;
    for (std::size_t k = 0; k < count; ++k)
        records.emplace_back(shape.lengths[k], std::byte(k + 7));
    const Bytes file = frame(metadata, records);
    auto opened = model_file::open(file);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(opened->version, 1u);
    EXPECT_EQ(opened->metadata, metadata);
    ASSERT_EQ(opened->records.size(), count);
    for (std::size_t k = 0; k < count; ++k) {
        EXPECT_EQ(opened->records[k].offset, layout->records[k].offset);
        EXPECT_EQ(opened->records[k].length, shape.lengths[k]);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LayoutShapes,
                         ::testing::Values(Shape{9, {1}}, Shape{9, {0}},
                                           Shape{4096 - 80, {10}},  // metadata ends on a page
                                           Shape{4096 - 80 + 1, {4096, 4097, 1}},
                                           Shape{9, std::vector<std::uint64_t>(64, 3)},
                                           Shape{20000, {5, 0, 8192}}));

TEST(ModelFileLayout, RefusesWhatTheReaderWouldRefuse) {
    const std::uint64_t one[] = {1};
    EXPECT_EQ(model_file::layout("{}", {}).error().message,
              "a model file holds 1 to 64 records; got 0");
    const std::vector<std::uint64_t> many(65, 1);
    EXPECT_EQ(model_file::layout("{}", many).error().message,
              "a model file holds 1 to 64 records; got 65");
    EXPECT_EQ(model_file::layout("[1]", one).error().message,
              "the metadata is not valid JSON: expected a JSON object ('{') at byte 0 (line 1, "
              "column 1)");
    const std::string huge = "{\"a\": \"" + std::string(64 << 20, 'x') + "\"}";
    EXPECT_EQ(model_file::layout(huge, one).error().message,
              "the metadata of 67108873 bytes exceeds the limit of 67108864 bytes");
}

// --- the frame as read --------------------------------------------------------------

TEST(ModelFileRefusal, EveryTruncationSaysItIsTruncated) {
    const Bytes& file = sample_file();
    const std::size_t table_end = 64 + 2 * 16;
    for (std::size_t n = 0; n < file.size(); ++n) {
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        const std::string why = refusal(cut);
        if (n == 0) {
            EXPECT_EQ(why, "invalid orvik model file: the file is empty");
        } else if (n < 64) {
            EXPECT_EQ(why, "invalid orvik model file: truncated to " + std::to_string(n) +
                               (n == 1 ? " byte" : " bytes") + ", shorter than the 64-byte header");
        } else if (n < table_end) {
            EXPECT_EQ(why, "invalid orvik model file: truncated to " + std::to_string(n) +
                               " bytes, inside the record table");
        } else {
            ASSERT_EQ(why, "invalid orvik model file: truncated: the header announces " +
                               std::to_string(file.size()) + " bytes, " + std::to_string(n) +
                               " are present")
                << n;
        }
    }
}

TEST(ModelFileRefusal, EveryFlippedFrameByteIsCaughtAndRecordBytesAreLeftToTheirReader) {
    const Bytes& file = sample_file();
    auto opened = model_file::open(file);
    ASSERT_TRUE(opened);
    const auto in_record = [&](std::size_t i) {
        for (const auto& r : opened->records)
            if (i >= r.offset && i < r.offset + r.length) return true;
        return false;
    };
    std::size_t frame_bytes = 0;
    for (std::size_t i = 0; i < file.size(); ++i) {
        for (std::uint8_t x : {0x01, 0x80}) {
            Bytes f = file;
            f[i] ^= std::byte{x};
            auto r = model_file::open(f);
            if (in_record(i)) {
                ASSERT_TRUE(r) << "byte " << i;
                continue;
            }
            ASSERT_FALSE(r) << "byte " << i << " ^ " << int(x);
            ASSERT_EQ(r.error().kind, ErrorKind::Value);
            ASSERT_EQ(r.error().message.rfind("invalid orvik model file: ", 0), 0u);
            frame_bytes += x == 1;
        }
    }
    EXPECT_GT(frame_bytes, 4096u);
}

struct Edit {
    const char* name;
    void (*apply)(Bytes&);
    bool resealed;
    std::string message;  // after "invalid orvik model file: "
};

Bytes edited(const Edit& e) {
    Bytes f = sample_file();
    e.apply(f);
    if (e.resealed) reseal(f);
    return f;
}

class ModelFileEdits : public ::testing::TestWithParam<Edit> {};

TEST_P(ModelFileEdits, AreRefusedSayingWhatIsWrong) {
    EXPECT_EQ(refusal(edited(GetParam())), "invalid orvik model file: " + GetParam().message);
}

const std::uint64_t kFile = sample_file().size();
const std::uint64_t kRecord0 = field<std::uint64_t>(sample_file(), 64);
const std::uint64_t kRecord1 = field<std::uint64_t>(sample_file(), 80);
const std::uint64_t kJsonEnd = 96 + field<std::uint64_t>(sample_file(), 16);

INSTANTIATE_TEST_SUITE_P(
    Refusals, ModelFileEdits,
    ::testing::Values(
        Edit{"newer", [](Bytes& f) { set_field<std::uint32_t>(f, 8, 2); }, false,
             "format version 2 is newer than this orvik reads (up to 1)"},
        Edit{"version0", [](Bytes& f) { set_field<std::uint32_t>(f, 8, 0); }, false,
             "format version 0 does not exist"},
        Edit{"no_records", [](Bytes& f) { set_field<std::uint32_t>(f, 12, 0); }, false,
             "the header's record count 0 is not 1 to 64 (the header is corrupted)"},
        Edit{"too_many", [](Bytes& f) { set_field<std::uint32_t>(f, 12, 65); }, false,
             "the header's record count 65 is not 1 to 64 (the header is corrupted)"},
        Edit{"header_sum",
             [](Bytes& f) {
                 f[13] = std::byte{0};
                 f[12] = std::byte{1};
             },
             false, "the header checksum does not match (the header is corrupted)"},
        Edit{"longer", [](Bytes& f) { f.push_back(std::byte{0}); }, false,
             "the file is 1 byte longer than the header announces (" + std::to_string(kFile) +
                 " bytes)"},
        Edit{"reserved", [](Bytes& f) { f[47] = std::byte{1}; }, true,
             "the reserved header fields are not zero"},
        Edit{"json_limit", [](Bytes& f) { set_field<std::uint64_t>(f, 16, (64 << 20) + 1); }, true,
             "the metadata block of 67108865 bytes exceeds the limit of 67108864 bytes"},
        Edit{"json_past_end", [](Bytes& f) { set_field<std::uint64_t>(f, 16, kFile); }, true,
             "the metadata block of " + std::to_string(kFile) +
                 " bytes runs past the end of the file"},
        Edit{"misplaced",
             [](Bytes& f) { set_field<std::uint64_t>(f, 80, field<std::uint64_t>(f, 80) + 8); },
             true,
             "record 1 starts at byte " + std::to_string(kRecord1 + 8) + ", not at byte " +
                 std::to_string(kRecord1)},
        Edit{"huge_record", [](Bytes& f) { set_field<std::uint64_t>(f, 72, 1ull << 63); }, true,
             "record 0 (9223372036854775808 bytes at byte " + std::to_string(kRecord0) +
                 ") runs past the end of the file"},
        Edit{"short_record",
             [](Bytes& f) { set_field<std::uint64_t>(f, 88, field<std::uint64_t>(f, 88) - 1); },
             true, "the file goes on for 1 byte after its last record"},
        Edit{"padding", [](Bytes& f) { f[kJsonEnd] = std::byte{' '}; }, true,
             "the padding before record 0 is not zero (byte " + std::to_string(kJsonEnd) + ")"},
        Edit{"json_sum", [](Bytes& f) { f[100] = std::byte{'Z'}; }, false,
             "the metadata checksum does not match (the metadata is corrupted)"},
        Edit{"json_text",
             [](Bytes& f) {
                 f[96] = std::byte{'['};
                 const std::uint64_t sum = state::xxh64({f.data() + 96, kJsonEnd - 96});
                 std::memcpy(f.data() + 32, &sum, 8);
             },
             true,
             "the metadata is not valid JSON: expected a JSON object ('{') at byte 0 (line 1, "
             "column 1)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelFileRefusal, ForeignFilesSayWhatTheyLookLike) {
    const auto why = [](std::string_view text) {
        Bytes f(text.size());
        std::memcpy(f.data(), text.data(), text.size());
        return refusal(f);
    };
    EXPECT_EQ(why("hello, world, this is not a model"),
              "invalid orvik model file: the magic tag is missing (not an orvik model file)");
    EXPECT_EQ(why(std::string("\x80\x05\x95\x10\0\0\0\0\0\0\0", 11)),
              "invalid orvik model file: it looks like a pickle, which is never loaded (it could "
              "run code)");
    EXPECT_EQ(refusal(fuzz::detail::sample_state(2)),
              "invalid orvik model file: it is a bare orvik state (the bytes that pickling "
              "writes), not a model file");
}

TEST(ModelFileRefusal, ResealedEditsAreRefusedOrFramedExactly) {
    // Single-byte edits of every frame byte with both checksums made right:
    // the reader accepts only what the writer would have written.
    const Bytes& file = sample_file();
    std::size_t refused = 0;
    for (std::size_t i = 0; i < kRecord0; ++i) {
        for (std::uint8_t x : {0x01, 0x10, 0xFF}) {
            Bytes f = file;
            f[i] ^= std::byte{x};
            reseal(f);
            const CaseOutcome outcome = fuzz::detail::read_back_file(f);
            ASSERT_NE(outcome, CaseOutcome::Broken) << "byte " << i << " ^ " << int(x);
            refused += outcome == CaseOutcome::Refused;
        }
    }
    EXPECT_GT(refused, 3 * 500u);
}

// --- the metadata's JSON ---------------------------------------------------------------

class JsonAccepted : public ::testing::TestWithParam<const char*> {};

TEST_P(JsonAccepted, IsAnObject) {
    const Status s = json::check_object(GetParam());
    EXPECT_TRUE(s) << GetParam() << ": " << (s ? "" : s.error().message);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonAccepted,
    ::testing::Values("{}", " \t\r\n{ }\n", R"({"a": [1, -0, 0.5, -1.25e+10, 3E-2, 1e400]})",
                      R"({"s": "\" \\ \/ \b \f \n \r \t \u0000 \u00e9 \ud83d\ude00"})",
                      "{\"utf8\": \"caf\xC3\xA9 \xF0\x9F\x98\x80\"}",
                      R"({"a": {"a": {"b": [[], {}, true, false, null]}}, "b": "a"})",
                      R"({"": 0, "\u0061": 1, "b": 2})"));

struct Bad {
    std::string text;
    std::string message;
};

class JsonRefused : public ::testing::TestWithParam<Bad> {};

TEST_P(JsonRefused, SaysWhatAndWhere) {
    const Status s = json::check_object(GetParam().text);
    ASSERT_FALSE(s) << GetParam().text;
    EXPECT_EQ(s.error().kind, ErrorKind::Value);
    EXPECT_EQ(s.error().message, GetParam().message);
}

std::string nested(std::size_t depth) {
    std::string s = "{\"a\": ";
    for (std::size_t i = 1; i < depth; ++i) s += "[";
    s += "0";
    for (std::size_t i = 1; i < depth; ++i) s += "]";
    return s + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonRefused,
    ::testing::Values(
        Bad{"", "the text is empty; expected a JSON object at byte 0 (line 1, column 1)"},
        Bad{"[]", "expected a JSON object ('{') at byte 0 (line 1, column 1)"},
        Bad{"{} x", "unexpected text after the end of the object at byte 3 (line 1, column 4)"},
        Bad{"{\n  \"a\": 1,\n  \"a\": 2}", "duplicate key \"a\" at byte 14 (line 3, column 3)"},
        Bad{R"({"a": 1, "\u0061": 2})", "duplicate key \"a\" at byte 9 (line 1, column 10)"},
        Bad{R"({"a": NaN})",
            "unexpected character 'N'; expected a JSON value at byte 6 (line 1, column 7)"},
        Bad{R"({"a": -Infinity})", "an invalid number at byte 6 (line 1, column 7)"},
        Bad{R"({"a": 1.})", "an invalid number at byte 6 (line 1, column 7)"},
        Bad{R"({"a": 01})",
            "unexpected character '1'; expected ',' or '}' at byte 7 (line 1, column 8)"},
        Bad{R"({"a": 1,})",
            "unexpected character '}'; expected a key (a string) at byte 8 (line 1, column 9)"},
        Bad{R"({"a" 1})", "unexpected character '1'; expected ':' at byte 5 (line 1, column 6)"},
        Bad{R"({"a": [1 2]})",
            "unexpected character '2'; expected ',' or ']' at byte 9 (line 1, column 10)"},
        Bad{R"({"a": tru})",
            "unexpected character 't'; expected a JSON value at byte 6 (line 1, column 7)"},
        Bad{R"({"a": "\x"})", "an invalid escape in a string at byte 7 (line 1, column 8)"},
        Bad{R"({"a": "\ud800"})",
            "a high surrogate \\u escape without its low half at byte 7 (line 1, column 8)"},
        Bad{R"({"a": "\udc00"})",
            "a lone low surrogate in a \\u escape at byte 7 (line 1, column 8)"},
        Bad{R"({"a": "\u12G4"})",
            "a \\u escape needs four hexadecimal digits at byte 11 (line 1, column 12)"},
        Bad{"{\"a\": \"tab\there\"}",
            "a control character in a string (escape it) at byte 10 (line 1, column 11)"},
        Bad{"{\"a\": \"\xC0\x80\"}", "ill-formed UTF-8 in a string at byte 7 (line 1, column 8)"},
        Bad{"{\"a\": \"\xED\xA0\x80\"}",
            "ill-formed UTF-8 in a string at byte 7 (line 1, column 8)"},
        Bad{"{\"a\": \"open",
            "unexpected end of the text in a string at byte 11 (line 1, column 12)"},
        Bad{"{\"a\": \x01}",
            "unexpected character '\\x01'; expected a JSON value at byte 6 (line 1, column 7)"},
        Bad{nested(65), "nesting deeper than 64 levels at byte 69 (line 1, column 70)"}));

TEST(JsonCheck, NestingUpToTheLimitIsAccepted) {
    EXPECT_TRUE(json::check_object(nested(64)));
    // Far deeper input fails at the limit, without descending further.
    EXPECT_FALSE(json::check_object(nested(100000)));
}

}  // namespace
}  // namespace orvik
