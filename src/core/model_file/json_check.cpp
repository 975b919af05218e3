#include "model_file/json_check.hpp"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/quoted.hpp"
#include "common/utf8.hpp"

namespace orvik::json {
namespace {

struct Failure {
    std::string what;
    std::size_t at;
};

// A recursive-descent reader whose depth is bounded by kMaxDepth. Each
// function returns false after recording the first failure.
class Checker {
  public:
    explicit Checker(std::string_view text) : text_(text) {}

    bool document() {
        skip_space();
        if (at_end()) return fail("the text is empty; expected a JSON object");
        if (text_[pos_] != '{') return fail("expected a JSON object ('{')");
        if (!value(0)) return false;
        skip_space();
        if (!at_end()) return fail("unexpected text after the end of the object");
        return true;
    }

    const Failure& failure() const { return failure_; }

  private:
    bool at_end() const { return pos_ >= text_.size(); }

    bool fail(std::string what) { return fail_at(std::move(what), pos_); }

    bool fail_at(std::string what, std::size_t at) {
        failure_ = {std::move(what), at};
        return false;
    }

    void skip_space() {
        while (!at_end()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
    }

    bool unexpected(const char* expected) {
        if (at_end()) return fail(std::string("unexpected end of the text; expected ") + expected);
        const auto c = static_cast<unsigned char>(text_[pos_]);
        std::string shown = c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : "";
        if (shown.empty()) {
            static const char hex[] = "0123456789ABCDEF";
            shown = std::string("\\x") + hex[c >> 4] + hex[c & 15];
        }
        return fail("unexpected character '" + shown + "'; expected " + expected);
    }

    bool literal(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word) return unexpected("a JSON value");
        pos_ += word.size();
        return true;
    }

    bool value(std::size_t depth) {
        if (at_end()) return unexpected("a JSON value");
        switch (text_[pos_]) {
            case '{':
                return object(depth + 1);
            case '[':
                return array(depth + 1);
            case '"':
                return string(nullptr);
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }

    // The members of an object or the items of an array, from its opening
    // bracket to `close`; `item` reads one member or item.
    template <class Item>
    bool sequence(char close, const char* expected, Item item) {
        ++pos_;  // '{' or '['
        skip_space();
        if (!at_end() && text_[pos_] == close) {
            ++pos_;
            return true;
        }
        for (;;) {
            skip_space();
            if (!item()) return false;
            skip_space();
            if (!at_end() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (!at_end() && text_[pos_] == close) {
                ++pos_;
                return true;
            }
            return unexpected(expected);
        }
    }

    bool object(std::size_t depth) {
        if (depth > kMaxDepth) return fail("nesting deeper than 64 levels");
        std::set<std::string> keys;
        return sequence('}', "',' or '}'", [&] {
            if (at_end() || text_[pos_] != '"') return unexpected("a key (a string)");
            const std::size_t key_at = pos_;
            std::string key;
            if (!string(&key)) return false;
            if (!keys.insert(key).second) return fail_at("duplicate key " + quoted(key), key_at);
            skip_space();
            if (at_end() || text_[pos_] != ':') return unexpected("':'");
            ++pos_;
            skip_space();
            return value(depth);
        });
    }

    bool array(std::size_t depth) {
        if (depth > kMaxDepth) return fail("nesting deeper than 64 levels");
        return sequence(']', "',' or ']'", [&] { return value(depth); });
    }

    bool hex4(std::uint32_t& out) {
        out = 0;
        for (int i = 0; i < 4; ++i, ++pos_) {
            if (at_end()) return fail("unexpected end of the text in a \\u escape");
            const char c = text_[pos_];
            std::uint32_t digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<std::uint32_t>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<std::uint32_t>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<std::uint32_t>(c - 'A' + 10);
            } else {
                return fail("a \\u escape needs four hexadecimal digits");
            }
            out = out * 16 + digit;
        }
        return true;
    }

    // A \u escape (after the backslash and 'u'), a surrogate pair taken whole.
    bool unicode_escape(std::string* out) {
        const std::size_t start = pos_ - 2;
        std::uint32_t cp;
        if (!hex4(cp)) return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return fail_at("a lone low surrogate in a \\u escape", start);
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low;
            if (text_.substr(pos_, 2) != "\\u") {
                return fail_at("a high surrogate \\u escape without its low half", start);
            }
            pos_ += 2;
            if (!hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) {
                return fail_at("a high surrogate \\u escape without its low half", start);
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out) append_utf8(*out, cp);
        return true;
    }

    // A string from its opening quote; its decoded text goes to `out` if given.
    bool string(std::string* out) {
        ++pos_;  // '"'
        for (;;) {
            if (at_end()) return fail("unexpected end of the text in a string");
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("a control character in a string (escape it)");
            if (c == '\\') {
                if (!escape(out)) return false;
                continue;
            }
            if (c < 0x80) {
                if (out) *out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            const Utf8Char ch = decode_utf8(text_, pos_);
            if (!ch.well_formed) return fail("ill-formed UTF-8 in a string");
            if (out) out->append(text_.substr(pos_, ch.length));
            pos_ += ch.length;
        }
    }

    bool escape(std::string* out) {
        ++pos_;  // '\\'
        if (at_end()) return fail("unexpected end of the text in an escape");
        const char c = text_[pos_++];
        char plain;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                plain = c;
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u':
                return unicode_escape(out);
            default:
                return fail_at("an invalid escape in a string", pos_ - 2);
        }
        if (out) *out += plain;
        return true;
    }

    bool digits() {
        const std::size_t start = pos_;
        while (!at_end() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
        return pos_ > start;
    }

    bool number() {
        const std::size_t start = pos_;
        if (!at_end() && text_[pos_] == '-') ++pos_;
        if (at_end() || text_[pos_] < '0' || text_[pos_] > '9') {
            if (pos_ == start) return unexpected("a JSON value");
            return fail_at("an invalid number", start);
        }
        if (text_[pos_] == '0') {
            ++pos_;
        } else {
            digits();
        }
        if (!at_end() && text_[pos_] == '.') {
            ++pos_;
            if (!digits()) return fail_at("an invalid number", start);
        }
        if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (!digits()) return fail_at("an invalid number", start);
        }
        return true;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    Failure failure_;
};

}  // namespace

Status check_object(std::string_view text) {
    Checker checker(text);
    if (checker.document()) return ok_status();
    const Failure& f = checker.failure();
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < f.at && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    return Error::value(f.what + " at byte " + std::to_string(f.at) + " (line " +
                        std::to_string(line) + ", column " + std::to_string(f.at - line_start + 1) +
                        ")");
}

}  // namespace orvik::json
