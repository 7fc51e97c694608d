// Which encoding a script is in. Plain C++: no Windows headers.
#pragma once

#include <string_view>

inline constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";

// Whether `text` is well-formed UTF-8: no stray continuation bytes, no
// overlong forms, no surrogates, nothing beyond U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Whether a script's text is UTF-8 rather than in the ANSI code page: it
// starts with a UTF-8 byte order mark, or it is valid UTF-8 and holds a byte
// above 0x7F. Text in an ANSI code page with accents (such as Windows-1252's
// "é", byte 0xE9) is almost never valid UTF-8; pure ASCII is the same in
// both.
bool is_utf8_script(std::string_view text);

// `text` without a leading UTF-8 byte order mark.
std::string_view without_byte_order_mark(std::string_view text);
