#include "text/rows_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace orvik::text {
namespace {

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool separator(char c) {
    return blank(c) || c == ',';
}

// A field as shown in a message: at most 24 bytes of it, in single quotes.
std::string shown(std::string_view field) {
    const bool cut = field.size() > 24;
    std::string text(1, '\'');
    text.append(cut ? field.substr(0, 21) : field);
    text.append(cut ? "...'" : "'");
    return text;
}

// One line of text (without its end of line) and where it stands.
class Line {
  public:
    Line(std::string_view text, std::uint64_t number) : text_(text), number_(number) {}

    bool skipped() {
        skip_blanks();
        return pos_ == text_.size() || text_[pos_] == '#';
    }

    // Appends `columns` values to `out`, or fails saying why.
    Status read(std::size_t columns, std::vector<double>& out) {
        for (std::size_t c = 0; c < columns; ++c) {
            if (c > 0) {
                skip_blanks();
                if (pos_ < text_.size() && text_[pos_] == ',') {
                    ++pos_;
                    skip_blanks();
                }
            }
            if (pos_ == text_.size()) {
                return Error::value("line " + std::to_string(number_) + ": expected " +
                                    std::to_string(columns) + " values, found " +
                                    std::to_string(c));
            }
            double v;
            if (Status s = number(v, c + 1, columns); !s) return s;
            out.push_back(v);
        }
        skip_blanks();
        if (pos_ != text_.size()) {
            return at("expected " + std::to_string(columns) + " values, found more");
        }
        return ok_status();
    }

  private:
    void skip_blanks() {
        while (pos_ < text_.size() && blank(text_[pos_])) ++pos_;
    }

    Error at(const std::string& what) const {
        return Error::value("line " + std::to_string(number_) + ", column " +
                            std::to_string(pos_ + 1) + ": " + what);
    }

    // The value at the current position, the `which`-th of `columns`.
    Status number(double& v, std::size_t which, std::size_t columns) {
        std::size_t end = pos_;
        while (end < text_.size() && !separator(text_[end])) ++end;
        const std::string_view field = text_.substr(pos_, end - pos_);
        const auto at = [&](const std::string& what) {
            return this->at(what + " (value " + std::to_string(which) + " of " +
                            std::to_string(columns) + ")");
        };
        if (field.empty()) return at("expected a number, found " + shown(text_.substr(pos_, 1)));
        const char* first = field.data();
        // from_chars takes no plus sign; a sign before another sign stays wrong.
        if (field.size() > 1 && field[0] == '+' && field[1] != '-' && field[1] != '+') ++first;
        const auto [ptr, ec] =
            std::from_chars(first, field.data() + field.size(), v, std::chars_format::general);
        if (ec == std::errc::result_out_of_range) {
            return at(shown(field) + " is out of the range of a double");
        }
        if (ec != std::errc() || ptr != field.data() + field.size()) {
            return at(shown(field) + " is not a number");
        }
        if (!std::isfinite(v)) return at(shown(field) + " is not a finite number");
        pos_ = end;
        return ok_status();
    }

    std::string_view text_;
    std::uint64_t number_;
    std::size_t pos_ = 0;
};

constexpr std::size_t kLinesPerPoll = 1 << 16;

}  // namespace

Result<Rows> parse_rows(std::string_view text, std::size_t columns, std::uint64_t first_line,
                        const Interrupt& stop) {
    Rows rows;
    std::uint64_t number = first_line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if ((number - first_line) % kLinesPerPoll == 0 && stop.requested()) {
            return Error::interrupted();
        }
        const void* found = std::memchr(text.data() + pos, '\n', text.size() - pos);
        const std::size_t eol =
            found ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data())
                  : text.size();
        std::string_view content = text.substr(pos, eol - pos);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        Line line(content, number);
        if (!line.skipped()) {
            if (Status s = line.read(columns, rows.values); !s) return s.error();
            ++rows.count;
        }
        pos = eol + 1;
        ++number;
    }
    return rows;
}

namespace {

// The longest shortest forms: "-1.17549435e-38", "-2.2250738585072014e-308".
template <class T>
constexpr std::size_t kWidest = sizeof(T) == 4 ? 15 : 24;

template <class T>
std::size_t bound_of(StridedView<T, 2> values) {
    const auto cols = static_cast<std::size_t>(values.size(1));
    return static_cast<std::size_t>(values.size(0)) * (cols * (kWidest<T> + 1) + 1);
}

// The text of the last value written in one column: models hold many equal
// values in a row (a layer's qualities), which are then copied, not converted.
template <class T>
struct LastText {
    T value{};
    bool set = false;
    unsigned char length = 0;
    char text[kWidest<T>];
};

template <class T>
char* write_value(T v, LastText<T>& last, char* p) {
    if (last.set && std::memcmp(&v, &last.value, sizeof v) == 0) {
        std::memcpy(p, last.text, last.length);
        return p + last.length;
    }
    char* end = std::isnan(v) ? std::copy_n("nan", 3, p) : std::to_chars(p, p + kWidest<T>, v).ptr;
    last.value = v;
    last.set = true;
    last.length = static_cast<unsigned char>(end - p);
    std::memcpy(last.text, p, last.length);
    return end;
}

template <class T>
std::size_t format_into(StridedView<T, 2> values, char separator, char* out) {
    const auto rows = static_cast<std::ptrdiff_t>(values.size(0));
    const auto cols = static_cast<std::ptrdiff_t>(values.size(1));
    std::vector<LastText<T>> last(static_cast<std::size_t>(cols));
    char* p = out;
    for (std::ptrdiff_t i = 0; i < rows; ++i) {
        for (std::ptrdiff_t j = 0; j < cols; ++j) {
            if (j > 0) *p++ = separator;
            p = write_value(values.at(i, j), last[static_cast<std::size_t>(j)], p);
        }
        *p++ = '\n';
    }
    return static_cast<std::size_t>(p - out);
}

template <class T>
std::string format_any(StridedView<T, 2> values, char separator) {
    std::string out(bound_of(values), '\0');
    out.resize(format_into(values, separator, out.data()));
    return out;
}

}  // namespace

std::size_t formatted_bound(StridedView<float, 2> values) {
    return bound_of(values);
}

std::size_t formatted_bound(StridedView<double, 2> values) {
    return bound_of(values);
}

std::size_t format_rows(StridedView<float, 2> values, char separator, char* out) {
    return format_into(values, separator, out);
}

std::size_t format_rows(StridedView<double, 2> values, char separator, char* out) {
    return format_into(values, separator, out);
}

std::string format_rows(StridedView<float, 2> values, char separator) {
    return format_any(values, separator);
}

std::string format_rows(StridedView<double, 2> values, char separator) {
    return format_any(values, separator);
}

}  // namespace orvik::text
