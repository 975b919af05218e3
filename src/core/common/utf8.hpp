// UTF-8 as the Unicode standard defines it well formed (and as Python's
// strict decoder reads it): no overlong forms, no surrogates, nothing above
// U+10FFFF. The one decoder behind the check of names read from a state and
// the quoted form of texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvik {

inline constexpr std::uint32_t kReplacementCharacter = 0xFFFD;

struct Utf8Char {
    std::uint32_t code_point;  // kReplacementCharacter where the bytes are ill-formed
    std::size_t length;        // bytes taken, at least 1
    bool well_formed;
};

// The character that starts at text[i] (i < text.size()). Ill-formed bytes
// give kReplacementCharacter and take their longest start of a well-formed
// sequence, at least one byte: what Python's "replace" error handler
// produces, one replacement per maximal subpart.
Utf8Char decode_utf8(std::string_view text, std::size_t i);

bool valid_utf8(std::string_view text);

// Appends the UTF-8 encoding of the code point `cp` (at most U+10FFFF).
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace orvik
