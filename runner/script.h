// Action scripts: one action per line, a name or number, one blank, then the
// parameter text as it stands; or the runner's own "wait N". Plain C++: no
// Windows headers.
#pragma once

#include "runner/received_catalogue.h"

#include <cstdint>
#include <functional>
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

// A problem found in a script, ready for stderr: "source:line: message",
// "source:line: warning: message", or "quelto-runner: message" for a whole
// source. An error stops the script before anything runs; a warning does not.
struct script_diagnostic {
    bool is_error = true;
    std::string text;
};

// Turns a parameter written in UTF-8 into the ANSI text the host would hand
// the plug-in. On failure returns false and says why, without a location.
using ansi_conversion = std::function<bool(std::string_view utf8, std::string& ansi, std::string& why)>;

// Parses `lines`, numbered from `first_line`, of the source called `source`;
// appends their actions and waits to `steps` and a diagnostic for each error
// and warning, in line order. With a `to_ansi`, the lines are UTF-8 and each
// action's parameter goes through it; comments are never converted.
void parse_script(std::string_view source, const std::vector<std::string>& lines, int first_line,
                  const received_catalogue& actions, const ansi_conversion& to_ansi, std::vector<script_step>& steps,
                  std::vector<script_diagnostic>& diagnostics);

// Whether any of `diagnostics` is an error.
bool has_error(const std::vector<script_diagnostic>& diagnostics);

// The diagnostics as lines for stderr: all of them when there are at most
// `most`, otherwise the first `most` and a line counting the rest.
std::string diagnostics_text(const std::vector<script_diagnostic>& diagnostics, std::size_t most = 20);

// Splits a file's text at its line feeds; each line keeps a CR before its LF,
// which parse_script_line drops. A final line feed starts no further line.
std::vector<std::string> split_script_lines(std::string_view text);

// Reads a whole script file ("-" is standard input) as it stands, a byte
// order mark included: it tells the script's encoding (is_utf8_script). On
// failure (a folder among them) returns false and a message naming the file.
bool read_script_file(const std::string& path, std::string& text, std::string& error);

// The message for a script file whose `text` has no action or wait line:
// "nothing to run", with the script's name and whether it is empty.
std::string nothing_to_run(const std::string& path, std::string_view text);
