#include "common/quoted.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>

#include "common/utf8.hpp"

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

}  // namespace

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        i += c.length;
        const std::uint32_t cp = c.code_point;
        switch (cp) {
            case '\\':
                out += "\\\\";
                continue;
            case '"':
                out += "\\\"";
                continue;
            case '\t':
                out += "\\t";
                continue;
            case '\n':
                out += "\\n";
                continue;
            case '\r':
                out += "\\r";
                continue;
            case '\0':
                out += "\\0";
                continue;
            default:
                break;
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
