// The actions as the plug-in announced them to the host, and how a user's
// word is matched against their names. Plain C++: no Windows headers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One add-action call, its texts copied while the call lasted.
struct received_action {
    std::int32_t number = 0;
    std::string name;  // as announced, trailing space included
    std::string help;  // "description\r\nname\"placeholder\""
    std::string parameter_type;
    std::uint32_t count = 0;
    std::uint32_t count_again = 0;
};

using received_catalogue = std::vector<received_action>;

// The plug-in's action names all start with this; users may leave it out.
inline constexpr std::string_view action_name_prefix = "KP_Quelto3D_";

struct help_parts {
    std::string description;
    std::string placeholder;
};

// Splits a help text at its line break; the placeholder is what the usage
// line holds between its first and last double quote. A text of another
// shape is all description.
help_parts split_help_text(std::string_view help);

// The name without its trailing blanks, which no user types.
std::string_view trimmed_name(std::string_view name);

// The action announced under `word`: the full name or the name without the
// prefix, in any case, trailing blanks ignored. nullptr when there is none.
const received_action* find_action_by_name(const received_catalogue& actions, std::string_view word);

// The number of the action announced under `word` (as find_action_by_name
// matches it); 0 when there is none.
std::int32_t action_number(const received_catalogue& actions, std::string_view word);

// The name announced for action `number`, trailing space included; empty
// when there is none.
std::string action_name(const received_catalogue& actions, std::int32_t number);

// The name closest to an unknown `word`, in the form the user chose (with or
// without the prefix); empty when nothing is close.
std::string suggest_action_name(const received_catalogue& actions, std::string_view word);
