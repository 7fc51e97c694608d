// Text as the PLY, ASCII STL and OBJ readers take it apart: blank-separated
// tokens with their line, words compared in any case, and numbers read the
// same whatever the C locale. Internal to the loaders.
#pragma once

#include <cstddef>
#include <string_view>

namespace engine::loading {

inline char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }
inline char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_case(std::string_view text, std::string_view prefix);

// Whole token as a number, "+1.5e3", "nan" and "inf" included; out-of-range
// values become infinities (the finishing step leaves them out), or zero
// when too small. Read by fast_float, correctly rounded.
bool parse_number(std::string_view token, double& value);

// The number that begins at `first`, read as parse_number reads a token;
// returns where it ends (at `last` or at the first character it cannot
// take), or nullptr when none begins there. For readers that find the
// token's end as they go.
const char* read_number(const char* first, const char* last, double& value);

// Blank-separated tokens of a text, with the line each is on.
class text_cursor {
public:
    text_cursor(const char* text, std::size_t size) : text_(text), size_(size) {}
    // The next token, or an empty view at the end.
    std::string_view next();
    // The rest of the current line (after the last token), not including the line end.
    std::string_view rest_of_line();
    bool at_end();
    std::size_t line() const { return token_line_; }  // 1-based line of the last token
    std::size_t offset() const { return position_; }  // bytes consumed

private:
    void skip_blanks();

    const char* text_;
    std::size_t size_;
    std::size_t position_ = 0;
    std::size_t line_ = 1;
    std::size_t token_line_ = 1;
};

}  // namespace engine::loading
