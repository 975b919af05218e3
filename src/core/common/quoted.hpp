// The quoted form in which user texts appear inside messages and printed
// structure: "between double quotes", with escapes for quotes, backslashes,
// control characters, non-printable characters and combining marks.
#pragma once

#include <string>
#include <string_view>

namespace orvik {

// `text` is UTF-8; invalid bytes are shown as \u{fffd}.
std::string quoted(std::string_view text);

}  // namespace orvik
