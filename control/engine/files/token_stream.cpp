#include "control/engine/files/token_stream.h"

#include <algorithm>

namespace engine::loading {

namespace {

bool is_blank(unsigned char c) { return c <= ' '; }

}  // namespace

void token_stream::skip_blanks() {
    for (;;) {
        const unsigned char* first = window_.data();
        const unsigned char* p = first;
        const unsigned char* last = first + window_.available();
        for (; p < last && is_blank(*p); ++p)
            if (*p == '\n') ++line_;
        window_.consume(static_cast<std::size_t>(p - first));
        if (p < last || !window_.fill(1)) return;
    }
}

std::string_view token_stream::next() {
    skip_blanks();
    token_line_ = line_;
    std::size_t length = 0;
    for (;;) {
        const unsigned char* p = window_.data();
        const std::size_t held = std::min(window_.available(), max_token_bytes);
        while (length < held && !is_blank(p[length])) ++length;
        if (length < held || length == max_token_bytes || window_.exhausted()) break;
        // Cut by the window's end: the token is carried over whole. Asking
        // for twice as much keeps a long token from being moved often.
        window_.fill(std::min(max_token_bytes, std::max(2 * held, held + 4096)));
    }
    const std::string_view token(reinterpret_cast<const char*>(window_.data()), length);
    window_.consume(length);
    return token;
}

void token_stream::skip_rest_of_line() {
    for (;;) {
        const unsigned char* first = window_.data();
        const unsigned char* p = first;
        const unsigned char* last = first + window_.available();
        while (p < last && *p != '\n' && *p != '\r') ++p;
        window_.consume(static_cast<std::size_t>(p - first));
        if (p < last || !window_.fill(1)) return;
    }
}

bool token_stream::at_end() {
    skip_blanks();
    return window_.at_end();
}

}  // namespace engine::loading
