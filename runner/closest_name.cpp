#include "runner/closest_name.h"

#include <algorithm>
#include <cctype>

namespace {
char fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
}  // namespace

std::size_t edit_distance(std::string_view a, std::string_view b) {
    // Three rolling rows: the swap of two neighbours looks two rows back.
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t cost = fold(a[i - 1]) == fold(b[j - 1]) ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && fold(a[i - 1]) == fold(b[j - 2]) && fold(a[i - 2]) == fold(b[j - 1]))
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[b.size()];
}

std::string closest_name(std::string_view word, const std::vector<std::string>& candidates) {
    // Beyond this many edits a suggestion is a guess, not a correction.
    const std::size_t limit = std::max<std::size_t>(2, word.size() / 3);
    const std::string* best = nullptr;
    std::size_t best_distance = limit + 1;
    for (const std::string& candidate : candidates) {
        std::size_t distance = edit_distance(word, candidate);
        if (distance < best_distance) {
            best = &candidate;
            best_distance = distance;
        }
    }
    return best ? *best : std::string();
}
