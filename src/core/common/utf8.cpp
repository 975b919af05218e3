#include "common/utf8.hpp"

namespace orvik {

Utf8Char decode_utf8(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) return {b0, 1, true};

    // The length of the sequence that b0 starts and the range of its second
    // byte (the others are always 80..BF); the narrow second-byte ranges
    // exclude overlong forms (E0, F0), surrogates (ED) and code points above
    // U+10FFFF (F4).
    std::size_t length = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0Fu;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07u;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {kReplacementCharacter, 1, false};  // a continuation byte, C0, C1 or F5..FF
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (i + k >= text.size()) return {kReplacementCharacter, k, false};
        const unsigned char b = byte(i + k);
        if (b < lo || b > hi) return {kReplacementCharacter, k, false};
        cp = (cp << 6) | (b & 0x3Fu);
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, length, true};
}

bool valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Char c = decode_utf8(text, i);
        if (!c.well_formed) return false;
        i += c.length;
    }
    return true;
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

}  // namespace orvik
