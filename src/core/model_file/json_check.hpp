// Strict validation of JSON text (RFC 8259) before anything else reads it:
// well-formed UTF-8, no lone surrogates in escapes, numbers by the grammar
// (no NaN or infinities), no key twice in one object, and nesting bounded so
// that no reader recurses deeply. It allocates no more than the text's own
// size (the keys of the open objects) and reads nothing outside the text.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/result.hpp"

namespace orvik::json {

inline constexpr std::size_t kMaxDepth = 64;

// Ok when `text` is exactly one JSON object, with optional whitespace around
// it. Otherwise the Value error "{what} at byte {offset} (line {line}, column
// {column})", offset from 0, line and column from 1, column in bytes.
Status check_object(std::string_view text);

}  // namespace orvik::json
