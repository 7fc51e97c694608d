#include "control/engine/text_tokens.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace engine::loading {

namespace {

bool is_blank(char c) { return static_cast<unsigned char>(c) <= ' '; }

}  // namespace

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equals_ignoring_case(text.substr(0, prefix.size()), prefix);
}

bool parse_number(std::string_view token, double& value) {
    const char* first = token.data();
    const char* last = first + token.size();
    // from_chars takes no plus sign; the files do.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && (*first == '-' || *first == '+')) return false;
    }
    const auto [end, error] = std::from_chars(first, last, value);
    if (end != last || first == last) return false;
    if (error == std::errc::result_out_of_range) {
        // Too large or too small for a double: the exponent's sign says which.
        const bool negative = *first == '-';
        const char* e = std::find_if(first, last, [](char c) { return c == 'e' || c == 'E'; });
        const bool tiny = e != last && e + 1 != last && e[1] == '-';
        value = tiny ? 0.0 : HUGE_VAL;
        if (negative) value = -value;
        return true;
    }
    return error == std::errc();
}

void text_cursor::skip_blanks() {
    while (position_ < size_ && is_blank(text_[position_])) {
        if (text_[position_] == '\n') ++line_;
        ++position_;
    }
}

std::string_view text_cursor::next() {
    skip_blanks();
    token_line_ = line_;
    const std::size_t start = position_;
    while (position_ < size_ && !is_blank(text_[position_])) ++position_;
    return std::string_view(text_ + start, position_ - start);
}

std::string_view text_cursor::rest_of_line() {
    const std::size_t start = position_;
    while (position_ < size_ && text_[position_] != '\n' && text_[position_] != '\r') ++position_;
    return std::string_view(text_ + start, position_ - start);
}

bool text_cursor::at_end() {
    skip_blanks();
    return position_ >= size_;
}

}  // namespace engine::loading
