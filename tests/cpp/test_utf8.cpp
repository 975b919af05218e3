#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/utf8.hpp"

namespace {

using orvik::decode_utf8;
using orvik::kReplacementCharacter;
using orvik::valid_utf8;

TEST(Utf8, DecodesEachLengthAtItsBounds) {
    struct Case {
        std::string_view bytes;
        std::uint32_t code_point;
    };
    // The first and last code point of each length (surrogates excluded).
    for (const Case& c : {Case{"\x7f", 0x7F}, Case{"\xc2\x80", 0x80}, Case{"\xdf\xbf", 0x7FF},
                          Case{"\xe0\xa0\x80", 0x800}, Case{"\xed\x9f\xbf", 0xD7FF},
                          Case{"\xee\x80\x80", 0xE000}, Case{"\xef\xbf\xbf", 0xFFFF},
                          Case{"\xf0\x90\x80\x80", 0x10000}, Case{"\xf4\x8f\xbf\xbf", 0x10FFFF}}) {
        const orvik::Utf8Char d = decode_utf8(c.bytes, 0);
        EXPECT_TRUE(d.well_formed) << std::hex << c.code_point;
        EXPECT_EQ(d.code_point, c.code_point);
        EXPECT_EQ(d.length, c.bytes.size());
        EXPECT_TRUE(valid_utf8(c.bytes));
    }
}

TEST(Utf8, IllFormedBytesTakeTheirMaximalSubpart) {
    struct Case {
        std::string_view bytes;
        std::size_t length;
    };
    for (const Case& c :
         {Case{"\xc0\x80", 1}, Case{"\xc1\xbf", 1}, Case{"\x80", 1}, Case{"\xf5\x80\x80\x80", 1},
          Case{"\xe0\x9f\xbf", 1}, Case{"\xed\xa0\x80", 1}, Case{"\xf0\x8f\xbf\xbf", 1},
          Case{"\xf4\x90\x80\x80", 1}, Case{"\xe2\x82", 2}, Case{"\xe2\x82x", 2},
          Case{"\xf0\x90\x80", 3}, Case{"\xc2", 1}}) {
        const orvik::Utf8Char d = decode_utf8(c.bytes, 0);
        EXPECT_FALSE(d.well_formed);
        EXPECT_EQ(d.code_point, kReplacementCharacter);
        EXPECT_EQ(d.length, c.length);
        EXPECT_FALSE(valid_utf8(c.bytes));
    }
}

TEST(Utf8, ValidTextMayHoldNul) {
    EXPECT_TRUE(valid_utf8(""));
    EXPECT_TRUE(valid_utf8(std::string_view("a\0b", 3)));
    EXPECT_FALSE(valid_utf8("basin\xff"));
}

}  // namespace
