// Action scripts: one action per line, a name or number, one blank, then the
// parameter text as it stands; or the runner's own "wait N". Plain C++: no
// Windows headers.
#pragma once

#include "runner/received_catalogue.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct script_line {
    enum class kind { action, wait, nothing, error };
    kind what = kind::nothing;
    std::int32_t number = 0;         // kind::action
    std::string parameter;           // kind::action; empty for none
    std::uint32_t milliseconds = 0;  // kind::wait
    std::string error;               // kind::error, without a location
};

// The longest wait, the longest a Windows timer can be set for.
constexpr std::uint32_t longest_wait = 0x7FFFFFFF;

// Reads one line. Its CR/LF ending is dropped; blank lines and lines whose
// first non-blank is '#' are kind::nothing. "wait N" (any case) is the
// runner's directive, never an action: N whole milliseconds, blanks around
// it allowed.
script_line parse_script_line(std::string_view line, const received_catalogue& actions);

// An action to run or a wait, and where it was asked for ("file:line" or
// "-e:N").
struct script_step {
    enum class kind { action, wait };
    kind what = kind::action;
    std::int32_t number = 0;         // kind::action
    std::string parameter;           // kind::action
    std::uint32_t milliseconds = 0;  // kind::wait
    std::string origin;
};

// Parses `lines`, numbered from `first_line`, of the source called `source`
// and appends their actions and waits to `steps`. Returns the first error as
// "source:line: message", or an empty string.
std::string parse_script(std::string_view source, const std::vector<std::string>& lines, int first_line,
                         const received_catalogue& actions, std::vector<script_step>& steps);

// Splits a file's text at its line feeds; each line keeps a CR before its LF,
// which parse_script_line drops. A final line feed starts no further line.
std::vector<std::string> split_script_lines(std::string_view text);

// Reads a whole script file ("-" is standard input), dropping a UTF-8 byte
// order mark. On failure (a folder among them) returns false and a message
// naming the file.
bool read_script_file(const std::string& path, std::string& text, std::string& error);

// The message for a script file whose `text` has no action or wait line:
// "nothing to run", with the script's name and whether it is empty.
std::string nothing_to_run(const std::string& path, std::string_view text);
