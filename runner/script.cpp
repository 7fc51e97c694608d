#include "runner/script.h"

#include "runner/excerpt.h"
#include "runner/parameter_warnings.h"
#include "runner/utf8_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool is_number_word(std::string_view word) {
    if (!word.empty() && (word[0] == '-' || word[0] == '+')) word.remove_prefix(1);
    if (word.empty()) return false;
    for (char c : word)
        if (c < '0' || c > '9') return false;
    return true;
}

// The action of a numeric word, or an error naming the valid range.
script_line action_by_number(std::string_view word, const received_catalogue& actions) {
    script_line result;
    std::string_view digits = word[0] == '-' || word[0] == '+' ? word.substr(1) : word;
    std::size_t start = digits.find_first_not_of('0');
    digits = start == std::string_view::npos ? std::string_view() : digits.substr(start);
    if (word[0] != '-' && digits.size() <= 9) {
        std::int32_t number = 0;
        for (char c : digits) number = number * 10 + (c - '0');
        for (const received_action& action : actions)
            if (action.number == number) {
                result.what = script_line::kind::action;
                result.number = number;
                return result;
            }
    }
    result.what = script_line::kind::error;
    result.error = "action number " + excerpt(word) + " is outside 1.." + std::to_string(actions.size());
    return result;
}

bool is_wait_word(std::string_view word) {
    constexpr std::string_view wait = "wait";
    if (word.size() != wait.size()) return false;
    for (std::size_t i = 0; i < wait.size(); ++i)
        if ((word[i] | 0x20) != wait[i]) return false;
    return true;
}

script_line wait_line(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    script_line result;
    result.what = script_line::kind::error;
    if (text.empty()) {
        result.error = "wait needs a number of milliseconds, such as 'wait 500'";
        return result;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            result.error = "wait needs a whole number of milliseconds, not " + quoted(text);
            return result;
        }
        if (value <= longest_wait) value = value * 10 + (c - '0');  // stops growing once too long
    }
    if (value > longest_wait) {
        result.error = "wait " + excerpt(text) + " is too long; the longest is " +
                       std::to_string(longest_wait) + " milliseconds";
        return result;
    }
    result.what = script_line::kind::wait;
    result.milliseconds = static_cast<std::uint32_t>(value);
    return result;
}
}  // namespace

script_line parse_script_line(std::string_view line, const received_catalogue& actions) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    std::size_t start = 0;
    while (start < line.size() && is_blank(line[start])) ++start;
    line.remove_prefix(start);
    if (line.empty() || line[0] == '#') return {};

    std::size_t end = 0;
    while (end < line.size() && !is_blank(line[end])) ++end;
    std::string_view word = line.substr(0, end);
    // Everything after the one separating blank belongs to the parameter,
    // further blanks included: the plug-in gets the text as written.
    std::string_view parameter = end < line.size() ? line.substr(end + 1) : std::string_view();

    if (is_wait_word(word)) return wait_line(end < line.size() ? line.substr(end) : std::string_view());

    script_line result;
    if (is_number_word(word)) {
        result = action_by_number(word, actions);
    } else if (const received_action* action = find_action_by_name(actions, word)) {
        result.what = script_line::kind::action;
        result.number = action->number;
    } else {
        result.what = script_line::kind::error;
        result.error = "unknown action " + quoted(word);
        std::string suggestion = suggest_action_name(actions, word);
        if (!suggestion.empty()) result.error += "; did you mean '" + suggestion + "'?";
    }
    if (result.what == script_line::kind::action) result.parameter = std::string(parameter);
    return result;
}

void parse_script(std::string_view source, const std::vector<std::string>& lines, int first_line,
                  const received_catalogue& actions, const ansi_conversion& to_ansi, std::vector<script_step>& steps,
                  std::vector<script_diagnostic>& diagnostics) {
    int line_number = first_line;
    for (const std::string& line : lines) {
        std::string origin = std::string(source) + ":" + std::to_string(line_number++);
        script_line parsed = parse_script_line(line, actions);
        if (parsed.what == script_line::kind::error) {
            diagnostics.push_back({true, origin + ": " + parsed.error});
        } else if (parsed.what == script_line::kind::wait) {
            steps.push_back({script_step::kind::wait, 0, {}, parsed.milliseconds, std::move(origin)});
        } else if (parsed.what == script_line::kind::action) {
            // Checked as written, so that messages quote the author's text.
            for (const std::string& warning : parameter_warnings(actions, parsed.number, parsed.parameter))
                diagnostics.push_back({false, origin + ": warning: " + warning});
            std::string parameter = std::move(parsed.parameter);
            if (to_ansi) {
                std::string ansi, why;
                if (!to_ansi(parameter, ansi, why)) diagnostics.push_back({true, origin + ": " + why});
                parameter = std::move(ansi);
            }
            steps.push_back({script_step::kind::action, parsed.number, std::move(parameter), 0, std::move(origin)});
        }
    }
}

bool has_error(const std::vector<script_diagnostic>& diagnostics) {
    for (const script_diagnostic& diagnostic : diagnostics)
        if (diagnostic.is_error) return true;
    return false;
}

std::string diagnostics_text(const std::vector<script_diagnostic>& diagnostics, std::size_t most) {
    std::string text;
    const std::size_t shown = diagnostics.size() <= most ? diagnostics.size() : most;
    for (std::size_t i = 0; i < shown; ++i) text += diagnostics[i].text + "\n";
    if (shown == diagnostics.size()) return text;
    std::size_t errors = 0, warnings = 0;
    for (std::size_t i = shown; i < diagnostics.size(); ++i) ++(diagnostics[i].is_error ? errors : warnings);
    auto more = [](std::size_t n, const char* what) {
        return std::to_string(n) + " more " + what + (n == 1 ? "" : "s");
    };
    std::string rest = errors && warnings ? more(errors, "error") + " and " + more(warnings, "warning")
                                          : errors ? more(errors, "error") : more(warnings, "warning");
    return text + "quelto-runner: and " + rest + "\n";
}

std::vector<std::string> split_script_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool read_script_file(const std::string& path, std::string& text, std::string& error) {
    bool from_stdin = path == "-";
    // Opening a folder fails with "Permission denied" on Windows, which sends
    // the author looking for a permission problem.
    struct stat status;
    if (!from_stdin && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        error = "script " + quoted(path) + " is a folder, not a file";
        return false;
    }
    std::FILE* file = from_stdin ? stdin : std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot read script " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    text.clear();
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    bool failed = std::ferror(file) != 0;
    int failure = errno;
    if (!from_stdin) std::fclose(file);
    if (failed) {
        error = "cannot read script " + quoted(path) + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

std::string nothing_to_run(const std::string& path, std::string_view text) {
    const std::string name = path == "-" ? "standard input" : "script " + quoted(path);
    text = without_byte_order_mark(text);
    return name + (text.empty() ? " is empty" : " holds only comments and blank lines") + ": nothing to run";
}
