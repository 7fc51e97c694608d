#include "runner/received_catalogue.h"

#include "runner/closest_name.h"

#include <cctype>

namespace {
bool same_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool has_prefix(std::string_view word) {
    return same_ignoring_case(word.substr(0, action_name_prefix.size()), action_name_prefix);
}

std::string_view without_prefix(std::string_view name) {
    return has_prefix(name) ? name.substr(action_name_prefix.size()) : name;
}
}  // namespace

help_parts split_help_text(std::string_view help) {
    std::size_t line_break = help.find("\r\n");
    if (line_break == std::string_view::npos) return {std::string(help), {}};
    std::string_view usage = help.substr(line_break + 2);
    std::size_t open = usage.find('"');
    std::size_t close = usage.rfind('"');
    if (open == std::string_view::npos || close == open) return {std::string(help), {}};
    return {std::string(help.substr(0, line_break)), std::string(usage.substr(open + 1, close - open - 1))};
}

std::string_view trimmed_name(std::string_view name) {
    std::size_t end = name.find_last_not_of(" \t");
    return end == std::string_view::npos ? std::string_view() : name.substr(0, end + 1);
}

const received_action* find_action_by_name(const received_catalogue& actions, std::string_view word) {
    word = trimmed_name(word);
    if (word.empty()) return nullptr;
    for (const received_action& action : actions) {
        std::string_view name = trimmed_name(action.name);
        if (same_ignoring_case(word, name) || same_ignoring_case(word, without_prefix(name))) return &action;
    }
    return nullptr;
}

std::int32_t action_number(const received_catalogue& actions, std::string_view word) {
    const received_action* action = find_action_by_name(actions, word);
    return action ? action->number : 0;
}

std::string action_name(const received_catalogue& actions, std::int32_t number) {
    for (const received_action& action : actions)
        if (action.number == number) return action.name;
    return {};
}

std::string suggest_action_name(const received_catalogue& actions, std::string_view word) {
    // Compare like with like, so a missing prefix does not count as 12 edits.
    bool full = has_prefix(word);
    std::vector<std::string> names;
    for (const received_action& action : actions) {
        std::string_view name = trimmed_name(action.name);
        names.emplace_back(full ? name : without_prefix(name));
    }
    return closest_name(word, names);
}
