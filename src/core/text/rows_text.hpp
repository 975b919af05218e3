// Rows of numbers as text, the way command-line query tools exchange points
// and results: one row per line, values separated by blanks or a comma.
// Reading names the line and column of the first thing it cannot take;
// writing gives every float32 in its shortest form that reads back to the
// same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "common/strided.hpp"

namespace orvik::text {

struct Rows {
    std::vector<double> values;  // row by row, `columns` values each
    std::size_t count = 0;
};

// Reads lines of exactly `columns` finite decimal numbers (an optional sign,
// digits, a point, an exponent), separated by spaces or tabs, optionally with
// one comma among them. Lines ending in CR LF are read as LF; blank lines and
// lines whose first non-blank character is '#' are skipped. `first_line` is the
// number of the first line of `text` in the messages, which read "line {L},
// column {C}: ..." (C counts bytes from 1). Stops with an Interrupted error
// when `stop` asks.
Result<Rows> parse_rows(std::string_view text, std::size_t columns, std::uint64_t first_line,
                        const Interrupt& stop = {});

// The rows of `values`, the values of a row separated by `separator` and
// each row ended by '\n'. Each value is the shortest decimal that reads back
// to the same float32 or double ("nan", "inf" and "-inf" for the others).
std::string format_rows(StridedView<float, 2> values, char separator);
std::string format_rows(StridedView<double, 2> values, char separator);

// The same into `out`, which holds at least formatted_bound(values) bytes;
// returns the number of bytes written.
std::size_t formatted_bound(StridedView<float, 2> values);
std::size_t formatted_bound(StridedView<double, 2> values);
std::size_t format_rows(StridedView<float, 2> values, char separator, char* out);
std::size_t format_rows(StridedView<double, 2> values, char separator, char* out);

}  // namespace orvik::text
