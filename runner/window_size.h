// The size of the host rectangle, as given to --size. Plain C++: no Windows
// headers.
#pragma once

#include <string>
#include <string_view>

struct window_size {
    int width = 640;
    int height = 480;
};

// Largest side accepted: far beyond any screen, yet small enough that the
// frame's size cannot overflow.
constexpr int largest_window_side = 8192;

// Reads "WIDTHxHEIGHT" (x or X, whole pixels, each 1..largest_window_side).
// On failure returns false and a message quoting the text.
bool parse_window_size(std::string_view text, window_size& size, std::string& error);
