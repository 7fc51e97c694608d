#include "runner/excerpt.h"

namespace {
constexpr std::string_view ellipsis = "...";

bool continues_a_character(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

std::string excerpt(std::string_view text) {
    if (text.size() <= longest_excerpt) return std::string(text);
    std::size_t keep = longest_excerpt - ellipsis.size();
    while (keep > 0 && continues_a_character(text[keep])) --keep;
    return std::string(text.substr(0, keep)) + std::string(ellipsis);
}

std::string quoted(std::string_view text) { return "'" + excerpt(text) + "'"; }
