#include "common/quoted.hpp"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* text;
    const char* expected;
};

class QuotedForm : public ::testing::TestWithParam<Case> {};

TEST_P(QuotedForm, EscapesAsSpecified) {
    EXPECT_EQ(orvik::quoted(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, QuotedForm,
    ::testing::Values(Case{"", "\"\""}, Case{"basin", "\"basin\""},
                      Case{"a\"b", "\"a\\\"b\""}, Case{"back\\slash", "\"back\\\\slash\""},
                      Case{"t\tn\nr\r", "\"t\\tn\\nr\\r\""}, Case{"bell\x07", "\"bell\\u{7}\""},
                      Case{"del\x7f", "\"del\\u{7f}\""},
                      // U+0301 COMBINING ACUTE ACCENT after an e
                      Case{"e\xcc\x81", "\"e\\u{301}\""},
                      // non-ASCII letters stay as they are
                      Case{"K\xc3\xb6ln \xe6\x9d\xb1\xe4\xba\xac", "\"K\xc3\xb6ln \xe6\x9d\xb1\xe4\xba\xac\""},
                      // U+200B ZERO WIDTH SPACE is a format character
                      Case{"a\xe2\x80\x8b", "\"a\\u{200b}\""}));

TEST(QuotedForm, EmbeddedNul) {
    EXPECT_EQ(orvik::quoted(std::string_view("a\0b", 3)), "\"a\\0b\"");
}

}  // namespace
