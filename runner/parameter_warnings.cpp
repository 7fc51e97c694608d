#include "runner/parameter_warnings.h"

#include "runner/excerpt.h"
#include "viewer/colour_number.h"
#include "viewer/text_to_number.h"

#include <cstdio>

namespace {
// The row of action `number` of `actions`, found by its name, so that
// nothing depends on the numbers the plug-in gave.
const action_parameter* rule_of(const received_catalogue& actions, std::int32_t number) {
    for (const received_action& action : actions)
        if (action.number == number) return find_action_parameter(action.name);
    return nullptr;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips the digits of `base` at the start of `text`; returns how many.
std::size_t skip_digits(std::string_view& text, int base = 10) {
    std::size_t count = 0;
    for (; !text.empty(); text.remove_prefix(1), ++count) {
        char c = static_cast<char>(text.front() | 0x20);  // lower case for letters
        int value = is_digit(text.front()) ? text.front() - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (value >= base) break;
    }
    return count;
}

// "&H1F", "&B101", "&O17", "&Q17" or "&17", and nothing after it.
bool is_based_number(std::string_view text) {
    if (text.empty() || text.front() != '&') return false;
    text.remove_prefix(1);
    int base = 8;
    if (!text.empty()) {
        char letter = static_cast<char>(text.front() | 0x20);
        if (letter == 'h') base = 16;
        if (letter == 'b') base = 2;
        if (letter == 'h' || letter == 'b' || letter == 'o' || letter == 'q') text.remove_prefix(1);
    }
    return skip_digits(text, base) > 0 && text.empty();
}

// Whether all of `text` (blanks around it aside) is one number as the
// plug-in reads numbers, so that nothing of it is ignored.
bool is_whole_text_a_number(std::string_view text) {
    text = trimmed(text);
    if (is_based_number(text)) return true;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    std::size_t digits = skip_digits(text);
    if (!text.empty() && text.front() == '.') {
        text.remove_prefix(1);
        digits += skip_digits(text);
    }
    if (digits == 0) return false;
    if (!text.empty() && (text.front() | 0x20) != 'e' && (text.front() | 0x20) != 'd') return false;
    if (text.empty()) return true;
    text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    return skip_digits(text) > 0 && text.empty();
}

bool is_whole_number(std::string_view text) {
    text = trimmed(text);
    if (is_based_number(text)) return true;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
    return skip_digits(text) > 0 && text.empty();
}

// Three fields between commas, each a whole number 0..255 with blanks
// around it allowed.
bool is_colour(std::string_view text) {
    for (int field = 0; field < 3; ++field) {
        std::size_t comma = text.find(',');
        if ((comma == std::string_view::npos) != (field == 2)) return false;
        std::string_view digits = trimmed(text.substr(0, comma));
        std::string_view rest = digits;
        if (skip_digits(rest) == 0 || !rest.empty()) return false;
        std::size_t start = digits.find_first_not_of('0');
        if (start != std::string_view::npos && (digits.size() - start > 3 || std::stoi(std::string(digits)) > 255))
            return false;
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    }
    return true;
}

std::string number_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// What the plug-in makes of the colour text, as "red,green,blue".
std::string colour_read_from(const std::string& text) {
    auto value = static_cast<std::uint32_t>(colour_number_from_text(text.c_str()));
    return std::to_string(value & 0xFF) + "," + std::to_string(value >> 8 & 0xFF) + "," +
           std::to_string(value >> 16 & 0xFF);
}

// A '#' meant to start a comment: after a blank, or, for an action that
// takes nothing, anywhere.
bool has_comment_mark(std::string_view parameter, parameter_kind kind) {
    if (kind == parameter_kind::none && parameter.find('#') != std::string_view::npos) return true;
    return parameter.find(" #") != std::string_view::npos || parameter.find("\t#") != std::string_view::npos;
}
}  // namespace

std::vector<std::string> parameter_warnings(const received_catalogue& actions, std::int32_t number,
                                            std::string_view parameter) {
    std::vector<std::string> warnings;
    const action_parameter* rule = rule_of(actions, number);
    if (!rule) return warnings;
    const std::string action(rule->action);
    const std::string text(parameter);

    if (has_comment_mark(parameter, rule->kind)) {
        // The rest of the line would only repeat what this says.
        warnings.push_back("'#' starts no comment here: " + action + " is given the whole text " + quoted(parameter) +
                           "; comments go on a line of their own");
        return warnings;
    }
    switch (rule->kind) {
    case parameter_kind::none:
        break;
    case parameter_kind::number:
    case parameter_kind::number_with_decimal_comma: {
        std::string as_read = text;
        if (rule->kind == parameter_kind::number_with_decimal_comma) decimal_commas_to_points(&as_read[0]);
        if (trimmed(parameter).empty() || is_whole_text_a_number(as_read)) break;
        const bool comma = parameter.find(',') != std::string_view::npos &&
                           rule->kind == parameter_kind::number;
        warnings.push_back(action + " takes a number" + (comma ? " (with a decimal point, not a comma)" : "") +
                           "; " + quoted(parameter) + " is read as " + number_text(text_to_number(as_read.c_str())));
        break;
    }
    case parameter_kind::colour:
        if (trimmed(parameter).empty() || is_colour(parameter)) break;
        warnings.push_back(action + " takes red,green,blue, three whole numbers 0..255 between commas, as in '" +
                           action + " 0,128,255'; " + quoted(parameter) + " is read as " + colour_read_from(text));
        break;
    case parameter_kind::window_handle:
        if (trimmed(parameter).empty() || is_whole_number(parameter)) break;
        warnings.push_back(action + " takes the handle of a window as a whole number, or nothing for the runner's "
                           "window; " + quoted(parameter) + " is read as " +
                           std::to_string(text_to_handle(text.c_str())));
        break;
    case parameter_kind::file_name:
        if (parameter.find('"') != std::string_view::npos)
            warnings.push_back("the quotes are part of the name " + action + " is given, " + quoted(parameter) +
                               "; names with spaces are written without quotes, as in '" + action +
                               " C:\\models\\box 1.obj'");
        if (!parameter.empty() && is_blank(parameter.front()))
            warnings.push_back("the name " + action + " is given, " + quoted(parameter) +
                               ", starts with a blank; only one blank goes between the action and the name");
        break;
    }
    return warnings;
}
