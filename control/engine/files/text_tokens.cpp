#include "control/engine/files/text_tokens.h"

#include <system_error>

#include <fast_float/fast_float.h>

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

const char* read_number(const char* first, const char* last, double& value) {
    // fast_float, like from_chars, takes no plus sign; the files do.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && (*first == '-' || *first == '+')) return nullptr;
    }
    const fast_float::from_chars_result read = fast_float::from_chars(first, last, value);
    // Out of range, fast_float gives the infinity or zero the exponent's sign
    // asks for: older versions without an error, newer ones with this one.
    if (read.ec != std::errc() && read.ec != std::errc::result_out_of_range) return nullptr;
    return read.ptr;
}

bool parse_number(std::string_view token, double& value) {
    const char* last = token.data() + token.size();
    return !token.empty() && read_number(token.data(), last, value) == last;
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
