// The quoted form in which user texts appear inside messages and printed
// structure: "between double quotes", with escapes for quotes, backslashes,
// control characters, non-printable characters and combining marks.
#pragma once

#include <string>
#include <string_view>

namespace orvik {

// `text` is UTF-8. Ill-formed bytes (an overlong form such as C0 80 for NUL
// included) come out as the replacement character U+FFFD itself, one per
// maximal subpart, as decode_utf8 (common/utf8.hpp) reads them.
std::string quoted(std::string_view text);

}  // namespace orvik
