// Blank-separated tokens of text read a window at a time, with the line
// each is on: text_cursor (text_tokens.h) for a file that is not held whole.
// Internal to the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "control/engine/files/byte_window.h"

namespace engine::loading {

// No token in a model file comes near this; a longer run of non-blank bytes
// is read as several tokens of this length, however the file is read.
inline constexpr std::size_t max_token_bytes = std::size_t(1) << 20;

class token_stream {
public:
    explicit token_stream(byte_window& window) : window_(window) {}
    // The next token, or an empty view at the end. The view holds until the
    // next call of any member.
    std::string_view next();
    // Past the rest of the current line (after the last token), not its line end.
    void skip_rest_of_line();
    bool at_end();
    std::size_t line() const { return token_line_; }              // 1-based line of the last token
    std::uint64_t offset() const { return window_.offset(); }    // in the source: what is consumed
    std::uint64_t end() const { return window_.end(); }

private:
    void skip_blanks();

    byte_window& window_;
    std::size_t line_ = 1;
    std::size_t token_line_ = 1;
};

}  // namespace engine::loading
