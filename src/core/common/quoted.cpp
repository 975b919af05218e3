#include "common/quoted.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

namespace orvik {
namespace {

struct Range {
    std::uint32_t lo, hi;
};

constexpr Range kEscaped[] = {
#include "common/unicode_tables.inc"
};

bool needs_unicode_escape(std::uint32_t cp) {
    auto it = std::upper_bound(std::begin(kEscaped), std::end(kEscaped), cp,
                               [](std::uint32_t c, const Range& r) { return c < r.lo; });
    if (it == std::begin(kEscaped)) return false;
    --it;
    return cp <= it->hi;
}

// Decodes one UTF-8 sequence starting at text[i]; advances i. Malformed input
// yields U+FFFD and consumes one byte.
std::uint32_t decode(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b0 = byte(i);
    std::size_t len = b0 < 0x80 ? 1 : (b0 >> 5) == 0x6 ? 2 : (b0 >> 4) == 0xE ? 3
                                   : (b0 >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > text.size()) {
        ++i;
        return 0xFFFD;
    }
    std::uint32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
    for (std::size_t k = 1; k < len; ++k) {
        unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += len;
    return cp;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = decode(text, i);
        switch (cp) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\0': out += "\\0"; continue;
            default: break;
        }
        if (needs_unicode_escape(cp)) {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            out += buf;
        } else {
            append_utf8(out, cp);
        }
    }
    out += '"';
    return out;
}

}  // namespace orvik
