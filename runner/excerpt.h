// How messages quote what the user gave: a text of any length comes out as at
// most about a line's worth. Plain C++: no Windows headers.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest piece of the user's input a message quotes.
inline constexpr std::size_t longest_excerpt = 80;

// `text` itself when it is short enough; otherwise its start and "...",
// longest_excerpt characters in all, never ending inside a UTF-8 character.
std::string excerpt(std::string_view text);

// excerpt(text) between single quotes.
std::string quoted(std::string_view text);
