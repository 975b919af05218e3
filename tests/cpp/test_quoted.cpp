#include <gtest/gtest.h>

#include "common/quoted.hpp"

namespace {

struct Case {
    const char* text;
    const char* expected;
};

class QuotedForm : public ::testing::TestWithParam<Case> {};

TEST_P(QuotedForm, EscapesAsSpecified) {
    EXPECT_EQ(orvik::quoted(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Texts, QuotedForm,
                         ::testing::Values(Case{"", "\"\""}, Case{"basin", "\"basin\""},
                                           Case{"a\"b", "\"a\\\"b\""},
                                           Case{"back\\slash", "\"back\\\\slash\""},
                                           Case{"t\tn\nr\r", "\"t\\tn\\nr\\r\""},
                                           Case{"bell\x07", "\"bell\\u{7}\""},
                                           Case{"del\x7f", "\"del\\u{7f}\""},
                                           // U+0301 COMBINING ACUTE ACCENT after an e
                                           Case{"e\xcc\x81", "\"e\\u{301}\""},
                                           // non-ASCII letters stay as they are
                                           Case{"K\xc3\xb6ln \xe6\x9d\xb1\xe4\xba\xac",
                                                "\"K\xc3\xb6ln \xe6\x9d\xb1\xe4\xba\xac\""},
                                           // U+200B ZERO WIDTH SPACE is a format character
                                           Case{"a\xe2\x80\x8b", "\"a\\u{200b}\""}));

TEST(QuotedForm, EmbeddedNul) {
    EXPECT_EQ(orvik::quoted(std::string_view("a\0b", 3)), "\"a\\0b\"");
}

// Ill-formed UTF-8 comes out as U+FFFD (EF BF BD), one per maximal subpart,
// as Python's bytes.decode("utf-8", "replace") gives it.
#define FFFD "\xef\xbf\xbd"
INSTANTIATE_TEST_SUITE_P(
    IllFormed, QuotedForm,
    ::testing::Values(
        // The overlong two-byte NUL is not a NUL: no \0 escape.
        Case{"\xc0\x80", "\"" FFFD FFFD "\""},
        // Overlong three-byte form, an encoded surrogate, beyond U+10FFFF.
        Case{"\xe0\x80\x80", "\"" FFFD FFFD FFFD "\""},
        Case{"\xed\xa0\x80", "\"" FFFD FFFD FFFD "\""},
        Case{"\xf4\x90\x80\x80", "\"" FFFD FFFD FFFD FFFD "\""},
        // A lone continuation byte, a byte that never starts a sequence.
        Case{"\x80", "\"" FFFD "\""},
        Case{"a\xff"
             "b",
             "\"a" FFFD "b\""},
        // Sequences cut short: the start that was well formed is one replacement.
        Case{"a\xe2\x82", "\"a" FFFD "\""}, Case{"\xf0\x90\x80", "\"" FFFD "\""},
        Case{"\xc2", "\"" FFFD "\""},
        // Well-formed neighbours stay as they are.
        Case{"\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xe2\x82\xac\xf0\x9f\x98\x80\""}));
#undef FFFD

}  // namespace
