#include "control/engine/formats/load_messages.h"

#include <algorithm>

namespace engine::loading {

std::string counted(std::size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string byte_size(std::uint64_t bytes) {
    if (bytes < 10 * 1024) return counted(static_cast<std::size_t>(bytes), "byte");
    if (bytes < 10 * 1024 * 1024) return std::to_string((bytes + 512) >> 10) + " KB";
    return std::to_string((bytes + (1 << 19)) >> 20) + " MB";
}

std::string ends_early(const std::string& read) { return "the file ends early, " + read + " read"; }

void add_warning(std::string& warning, const std::string& clause) {
    if (clause.empty()) return;
    if (!warning.empty()) warning += "; ";
    warning += clause;
}

std::string quoted(std::string_view token, std::size_t longest) {
    const std::size_t shown = std::min(token.size(), longest);
    std::string result = "'";
    for (std::size_t i = 0; i < shown; ++i) {
        const unsigned char c = static_cast<unsigned char>(token[i]);
        result += (c >= 0x20 && c < 0x7F) ? char(c) : '?';
    }
    if (shown < token.size()) result += "...";
    return result + "'";
}

load_outcome failure(model& out, std::string what) {
    out = model{};
    return {false, std::move(what), {}};
}

load_outcome failure(picture& out, std::string what) {
    out = picture{};
    return {false, std::move(what), {}};
}

}  // namespace engine::loading
