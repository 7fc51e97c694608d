#include "runner/reference.h"

#include "control/com/member_table.h"
#include "runner/action_parameters.h"
#include "runner/excerpt.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {
// Notepad's default window shows this many columns without scrolling.
constexpr std::size_t page_width = 78;
constexpr std::size_t entry_indent = 4;

// `text` broken at blanks into lines of at most page_width, each indented
// by `indent_width` blanks.
std::string wrapped(std::string_view text, std::size_t indent_width = entry_indent) {
    const std::string indent(indent_width, ' ');
    std::string result, line;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find(' ', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view word = text.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        if (!line.empty() && indent.size() + line.size() + 1 + word.size() > page_width) {
            result += indent + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + std::string(word);
    }
    if (!line.empty()) result += indent + line + "\n";
    return result;
}

std::string heading(const std::string& title) { return title + "\n" + std::string(title.size(), '=') + "\n\n"; }

const char* called_as(unsigned kinds) {
    if (kinds == (as_method | as_property_put | as_property_get)) return "method, property put or get";
    return kinds == as_method ? "method" : "property put";
}

std::string arguments_of(const member_entry& entry) {
    const int count = entry.kinds & as_method ? entry.argument_count : 1;
    if (count == 0) return "no arguments";
    const char* type = entry.arguments == argument_type::number ? "number" : "text";
    return std::to_string(count) + " " + type + (count > 1 ? "s" : "");
}
}  // namespace

bool write_reference(const plugin_host& host, const std::string& path, std::string& error) {
    const plugin_identity& identity = host.identity();
    std::string text = identity.title + ": actions and viewer control members\n\n";

    text += heading("Actions (" + std::to_string(host.actions().size()) +
                    "), as the plug-in registers them with the authoring application");
    text += wrapped(
        "Each takes one text parameter, shown here between double quotes as the application shows it. In a "
        "quelto-runner script, write the name with or without KP_Quelto3D_ (or the number), one blank, then the "
        "parameter.",
        0);
    text += "\n";
    for (const received_action& action : host.actions()) {
        help_parts help = split_help_text(action.help);
        text += (action.number < 10 ? " " : "") + std::to_string(action.number) + "  " +
                std::string(trimmed_name(action.name)) + " \"" + help.placeholder + "\"\n";
        text += wrapped(help.description);
        // Only an action this runner knows has its parameter explained; one a
        // newer plug-in added is listed as it registered it.
        if (const action_parameter* parameter = find_action_parameter(trimmed_name(action.name))) {
            text += wrapped(std::string("Parameter: ") + parameter->meaning);
            text += wrapped(std::string("Calls: ") + parameter->calls) + "\n";
        }
    }

    text += "\n" + heading("Members of the viewer control (" + std::to_string(member_count) +
                           "), as the plug-in calls them");
    text += wrapped(
        "Numbers arrive as doubles, texts as strings; values outside what a member understands are clamped or "
        "ignored.",
        0);
    text += "\n";
    for (int i = 0; i < member_count; ++i) {
        const member_entry& entry = member_table[i];
        text += std::string(entry.name) + "  " + called_as(entry.kinds) + ", " + arguments_of(entry) + "\n";
        text += wrapped(entry.meaning);
    }
    // Text mode: the C runtime writes each line feed as CR LF.
    std::FILE* file = std::fopen(path.c_str(), "w");
    bool written = file && std::fputs(text.c_str(), file) >= 0;
    if (file && std::fclose(file) != 0) written = false;
    if (!written) error = "cannot write the reference to " + quoted(path);
    return written;
}
