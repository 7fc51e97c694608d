#include "runner/window_size.h"

#include "runner/excerpt.h"

namespace {
// A side of 1..largest_window_side written in plain digits.
bool parse_side(std::string_view digits, int& side) {
    if (digits.empty() || digits.size() > 5) return false;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > largest_window_side) return false;
    side = value;
    return true;
}
}  // namespace

bool parse_window_size(std::string_view text, window_size& size, std::string& error) {
    std::size_t x = text.find_first_of("xX");
    window_size parsed;
    if (x == std::string_view::npos || !parse_side(text.substr(0, x), parsed.width) ||
        !parse_side(text.substr(x + 1), parsed.height)) {
        error = "--size wants WIDTHxHEIGHT in pixels, each 1.." + std::to_string(largest_window_side) +
                ", such as 640x480; not " + quoted(text);
        return false;
    }
    size = parsed;
    return true;
}
