// Spelling suggestions for a mistyped name. Plain C++: no Windows headers.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Edits (insert, delete, replace, swap of neighbours) that turn `a` into `b`,
// ignoring ASCII case: names are matched without regard to case.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The candidate nearest to `word`, the earliest on a tie; empty when none is
// near enough to be a plausible typo.
std::string closest_name(std::string_view word, const std::vector<std::string>& candidates);
