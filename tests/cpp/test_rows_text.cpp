#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "text/rows_text.hpp"

namespace orvik {
namespace {

std::string formatted(const std::vector<float>& values, std::ptrdiff_t cols, char sep = ' ') {
    const auto rows = static_cast<std::ptrdiff_t>(values.size()) / cols;
    return text::format_rows(StridedView<float, 2>::dense(values.data(), rows, cols), sep);
}

std::string refusal(std::string_view text, std::size_t columns, std::uint64_t first_line = 1) {
    auto r = text::parse_rows(text, columns, first_line);
    if (r) return "(accepted)";
    EXPECT_EQ(r.error().kind, ErrorKind::Value);
    return r.error().message;
}

TEST(RowsText, EveryFloatReadsBackToItsOwnBits) {
    // Random bit patterns cover every exponent, subnormals and both zeros.
    std::mt19937 rng(5);
    std::vector<float> values;
    for (int i = 0; i < 300000; ++i) {
        const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
        if (std::isfinite(f)) values.push_back(f);
    }
    for (float f : {0.0f, -0.0f, 1.0f, 0.1f, std::numeric_limits<float>::max(),
                    std::numeric_limits<float>::denorm_min(), -std::numeric_limits<float>::min()})
        values.push_back(f);
    values.resize(values.size() / 3 * 3);
    const std::string text = formatted(values, 3);
    auto rows = text::parse_rows(text, 3, 1);
    ASSERT_TRUE(rows) << rows.error().message;
    ASSERT_EQ(rows->count * 3, values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(rows->values[i])),
                  std::bit_cast<std::uint32_t>(values[i]))
            << i;
    }
}

TEST(RowsText, ValuesAreWrittenShortestWithTheSeparatorAndOneLinePerRow) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(formatted({0.1f, 2.7f, 1e-7f, 16777216.0f, -0.0f, 3.4028235e38f}, 3),
              "0.1 2.7 1e-07\n16777216 -0 3.4028235e+38\n");
    EXPECT_EQ(formatted({nan, -nan, inf, -inf}, 2, ','), "nan,nan\ninf,-inf\n");
    EXPECT_EQ(formatted({}, 6), "");
    // Repeated values are copied from the column's last text: equal bits only.
    EXPECT_EQ(formatted({0.0f, -0.0f, -0.0f, 0.0f, 1.5f, 1.5f, 1.5f, 2.0f, nan, 1.5f}, 2),
              "0 -0\n-0 0\n1.5 1.5\n1.5 2\nnan 1.5\n");
    // A strided view: every other column of a 2 x 4 array.
    const float a[] = {1, 2, 3, 4, 5, 6, 7, 8};
    const StridedView<float, 2> v{reinterpret_cast<const char*>(a), {2, 2}, {16, 8}};
    EXPECT_EQ(text::format_rows(v, ' '), "1 3\n5 7\n");
}

TEST(RowsText, ReadsBlanksCommasSignsCommentsAndCrLf) {
    const char* text =
        "# lon lat depth\n"
        "  -123.5\t49.25   1000\n"
        "\n"
        "+1.5e3, 2 ,3\r\n"
        "   # indented comment\n"
        "4,5,6";  // no final newline
    auto rows = text::parse_rows(text, 3, 1);
    ASSERT_TRUE(rows) << rows.error().message;
    EXPECT_EQ(rows->count, 3u);
    EXPECT_EQ(rows->values, (std::vector<double>{-123.5, 49.25, 1000, 1500, 2, 3, 4, 5, 6}));
    // The same digits as strtod, correctly rounded.
    auto one = text::parse_rows("0.1 123456789012345678901234567890 2.2250738585072011e-308", 3, 1);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->values[0], std::strtod("0.1", nullptr));
    EXPECT_EQ(one->values[1], std::strtod("123456789012345678901234567890", nullptr));
    EXPECT_EQ(one->values[2], std::strtod("2.2250738585072011e-308", nullptr));
    EXPECT_EQ(text::parse_rows("", 3, 1)->count, 0u);
}

struct BadLine {
    const char* text;
    std::uint64_t first_line;
    const char* message;
};

class RowsTextRefused : public ::testing::TestWithParam<BadLine> {};

TEST_P(RowsTextRefused, NamesLineAndColumn) {
    EXPECT_EQ(refusal(GetParam().text, 3, GetParam().first_line), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RowsTextRefused,
    ::testing::Values(
        BadLine{"1 2 3\n1 2\n", 1, "line 2: expected 3 values, found 2"},
        BadLine{"1 2 3 4\n", 1, "line 1, column 7: expected 3 values, found more"},
        BadLine{"1 2 3,\n", 1, "line 1, column 6: expected 3 values, found more"},
        BadLine{"1 2 3\n\n# x\n1 y 3\n", 10,
                "line 13, column 3: 'y' is not a number (value 2 of 3)"},
        BadLine{"1 2.5.1 3", 1, "line 1, column 3: '2.5.1' is not a number (value 2 of 3)"},
        BadLine{"1 2 3e", 1, "line 1, column 5: '3e' is not a number (value 3 of 3)"},
        BadLine{"1 ++2 3", 1, "line 1, column 3: '++2' is not a number (value 2 of 3)"},
        BadLine{"1 0x10 3", 1, "line 1, column 3: '0x10' is not a number (value 2 of 3)"},
        BadLine{"1 nan 3", 1, "line 1, column 3: 'nan' is not a finite number (value 2 of 3)"},
        BadLine{"1 -inf 3", 1, "line 1, column 3: '-inf' is not a finite number (value 2 of 3)"},
        BadLine{"1 2 1e400", 1,
                "line 1, column 5: '1e400' is out of the range of a double (value 3 of 3)"},
        BadLine{"1,,2,3", 1, "line 1, column 3: expected a number, found ',' (value 2 of 3)"},
        BadLine{"1 2 abcdefghijklmnopqrstuvwxyz", 1,
                "line 1, column 5: 'abcdefghijklmnopqrstu...' is not a number (value 3 of 3)"}));

TEST(RowsText, StopsWhenAsked) {
    const Interrupt stop([](void*) { return true; }, nullptr);
    auto r = text::parse_rows("1 2 3\n", 3, 1, stop);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, ErrorKind::Interrupted);
}

}  // namespace
}  // namespace orvik
