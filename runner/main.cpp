// quelto-runner: plays the host application's part for the plug-in, so that
// its registration can be inspected and its actions run from a shell.
#include "runner/ansi_text.h"
#include "runner/excerpt.h"
#include "runner/host_window.h"
#include "runner/installation_check.h"
#include "runner/plugin_host.h"
#include "runner/reference.h"
#include "runner/script.h"
#include "runner/script_player.h"
#include "runner/utf8_text.h"
#include "runner/window_size.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {
// Exit status.
constexpr int done = 0;
constexpr int refused = 1;  // the plug-in answered 0 for an action
constexpr int bad_input = 2;
constexpr int window_closed = 3;  // the user closed the window before the script ended
constexpr int nothing_saved = 4;  // a SaveImage line wrote no file
constexpr int not_installed = 5;  // --check found something missing
constexpr int no_viewer = 6;      // Init brought no viewer up, or a SaveImage saved an empty picture
constexpr int window_refused = 7;  // Windows would not open the runner's window

constexpr char usage_text[] =
    "usage: quelto-runner [--dll PATH] [--list] [--verbose] [--size WxH] [--hold]\n"
    "                     [-e LINE]... [SCRIPT]...\n"
    "       quelto-runner [--dll PATH] --check\n"
    "\n"
    "Loads the plug-in as its host application does and runs actions through it.\n"
    "An action line is an action name (with or without \"KP_Quelto3D_\", any case)\n"
    "or number, one blank, then the parameter text exactly as it stands: a name\n"
    "with spaces is written without quotes (Show C:\\models\\box 1.obj), and a '#'\n"
    "after the action is part of the text. A line whose first non-blank is '#' is\n"
    "a comment; blank lines are skipped. \"wait N\" lets N milliseconds of the\n"
    "viewer's life pass before the next line.\n"
    "A script or -e line in UTF-8 (it starts with a byte order mark, or is valid\n"
    "UTF-8 with characters beyond ASCII) is handed to the plug-in in the ANSI code\n"
    "page, as the host does; a character that code page lacks is a mistake. Other\n"
    "text is taken as ANSI already.\n"
    "Every line is checked before anything runs: mistakes are all reported and\n"
    "nothing runs (status 2); a parameter likely not meant as written (a colour\n"
    "not written r,g,b, a number that is none, a quoted file name) gets a warning\n"
    "and is passed on unchanged.\n"
    "\n"
    "  --dll PATH   plug-in library (default: VasaQuelto3D.dll beside this program)\n"
    "  --list       print the identity texts and the actions the plug-in registers\n"
    "  -e LINE      run one action line; may be given more than once\n"
    "  SCRIPT       run the action lines of a file; \"-\" reads standard input\n"
    "  --size WxH   size of the host rectangle in pixels (default 640x480)\n"
    "  --hold       keep the window open after the script until it is closed\n"
    "  --verbose    print each action before it runs\n"
    "  --check      check the installation: the plug-in, the viewer control's\n"
    "               registration and server file, and that the control draws\n"
    "  --help       print this text\n"
    "\n"
    "A script with Init (or --hold) opens a window with a host rectangle; Init\n"
    "without a parameter gets the rectangle's handle. Lines run one per message,\n"
    "so those after Init run inside the viewer's message loop, as in the host.\n"
    "A script that ends while the viewer is up gets End from the runner.\n"
    "Action lines run in command-line order, after all of them have been read.\n"
    "Before Init, a missing viewer control is reported on stderr. After each\n"
    "SaveImage, the runner checks that the file was written.\n"
    "Exit status: 0 done, 1 the plug-in refused an action, 2 bad input,\n"
    "3 the window was closed before the script ended, 4 a SaveImage line wrote\n"
    "no file (stderr says why), 5 --check found something not in place,\n"
    "6 no viewer: Init brought none up, or a SaveImage ran while none was up\n"
    "(stderr says what to do), 7 Windows would not open the runner's window.\n";

// Where action lines come from, in command-line order.
struct action_source {
    bool is_file;
    std::string text;  // the line of -e, or the script's path
};

struct options {
    std::string dll;
    bool list = false;
    bool verbose = false;
    bool help = false;
    bool hold = false;
    bool check = false;
    std::string reference;  // --reference FILE, not in --help: writes the package's REFERENCE.txt
    window_size size;
    std::vector<action_source> sources;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "quelto-runner: %s\n", message.c_str());
    return bad_input;
}

// Fills `parsed`; returns an error message or an empty string.
std::string parse_options(int argc, char** argv, options& parsed) {
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        auto value = [&](const char* option, std::string& into) {
            if (i + 1 >= argc) return std::string(option) + " needs a value";
            into = argv[++i];
            return std::string();
        };
        std::string error;
        if (options_ended || argument == "-" || argument.empty() || argument[0] != '-') {
            parsed.sources.push_back({true, argument});
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--dll") {
            error = value("--dll", parsed.dll);
        } else if (argument.compare(0, 6, "--dll=") == 0) {
            parsed.dll = argument.substr(6);
        } else if (argument == "-e") {
            std::string line;
            error = value("-e", line);
            // Taken from the wide command line where it can be: a character
            // the ANSI code page lacks is then reported, not run as "?".
            static const std::vector<std::string> in_utf8 = utf8_command_line();
            if (error.empty() && in_utf8.size() == static_cast<std::size_t>(argc)) line = in_utf8[i];
            parsed.sources.push_back({false, line});
        } else if (argument == "--size" || argument.compare(0, 7, "--size=") == 0) {
            std::string text = argument.size() > 6 ? argument.substr(7) : std::string();
            if (argument == "--size") error = value("--size", text);
            if (error.empty()) parse_window_size(text, parsed.size, error);
        } else if (argument == "--hold") {
            parsed.hold = true;
        } else if (argument == "--list") {
            parsed.list = true;
        } else if (argument == "--verbose" || argument == "-v") {
            parsed.verbose = true;
        } else if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (argument == "--check") {
            parsed.check = true;
        } else if (argument == "--reference") {
            error = value("--reference", parsed.reference);
        } else {
            error = "unknown option " + quoted(argument) + " (see --help)";
        }
        if (!error.empty()) return error;
    }
    if ((parsed.check || !parsed.reference.empty()) && (parsed.list || parsed.hold || !parsed.sources.empty()))
        return std::string(parsed.check ? "--check" : "--reference") + " takes no script, -e, --list or --hold";
    if (!parsed.help && !parsed.list && !parsed.hold && !parsed.check && parsed.reference.empty() &&
        parsed.sources.empty())
        return "nothing to do: give --list, --check, -e LINE or a script (see --help)";
    return {};
}

// Reads and checks every source before any action runs, so a mistake on a
// late line does not leave the plug-in half-way through a script, and every
// mistake is reported at once.
void read_steps(const std::vector<action_source>& sources, const received_catalogue& actions,
                std::vector<script_step>& steps, std::vector<script_diagnostic>& diagnostics) {
    int command_line_count = 0;
    for (const action_source& source : sources) {
        if (!source.is_file) {
            // A line from the command line is converted only if it is UTF-8,
            // as a file is.
            parse_script("-e", {source.text}, ++command_line_count, actions,
                         is_utf8_script(source.text) ? ansi_conversion(utf8_to_ansi) : nullptr, steps, diagnostics);
            continue;
        }
        std::string text, error;
        if (!read_script_file(source.text, text, error)) {
            diagnostics.push_back({true, "quelto-runner: " + error});
            continue;
        }
        const std::size_t before = steps.size();
        const std::size_t problems_before = diagnostics.size();
        parse_script(source.text, split_script_lines(without_byte_order_mark(text)), 1, actions,
                     is_utf8_script(text) ? ansi_conversion(utf8_to_ansi) : nullptr, steps, diagnostics);
        if (steps.size() == before && diagnostics.size() == problems_before)
            diagnostics.push_back({true, "quelto-runner: " + nothing_to_run(source.text, text)});
    }
}

void print_catalogue(const plugin_host& host, bool verbose) {
    const plugin_identity& identity = host.identity();
    std::printf("title:     %s\npublisher: %s\nhint:      %s\n\n", identity.title.c_str(),
                identity.publisher.c_str(), identity.hint.c_str());
    for (const received_action& action : host.actions()) {
        help_parts help = split_help_text(action.help);
        // The name keeps the trailing space it was announced with.
        std::string usage = action.name + '"' + help.placeholder + '"';
        std::printf("%2d  %-46s %s\n", static_cast<int>(action.number), usage.c_str(), help.description.c_str());
        if (verbose)
            std::printf("    parameter type %s, count %u, %u\n", action.parameter_type.c_str(),
                        static_cast<unsigned>(action.count), static_cast<unsigned>(action.count_again));
    }
}

// Whether the script needs the host window: Init puts the viewer into it.
bool needs_window(const plugin_host& host, const std::vector<script_step>& steps, bool hold) {
    std::int32_t init = action_number(host.actions(), "Init");
    for (const script_step& step : steps)
        if (step.what == script_step::kind::action && step.number == init) return true;
    return hold;
}

int play(const plugin_host& host, const std::vector<script_step>& steps, const options& parsed) {
    std::unique_ptr<host_window> window;
    if (needs_window(host, steps, parsed.hold)) {
        std::string error = size_refused_by_screen(parsed.size);
        if (!error.empty()) return fail(error);
        window = host_window::open(parsed.size, "quelto-runner: " + host.identity().title, error);
        if (!window) {
            std::fprintf(stderr, "quelto-runner: %s\n", error.c_str());
            return window_refused;
        }
        if (parsed.verbose) {
            RECT client = {};
            GetClientRect(window->rectangle(), &client);
            std::printf("runner: host rectangle %ldx%ld, handle %lu\n", client.right, client.bottom,
                        static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(window->rectangle())));
        }
    }
    play_result result = play_script(host, steps, window.get(), {parsed.verbose, parsed.hold});
    switch (result.what) {
    case play_result::outcome::done:
        return done;
    case play_result::outcome::refused:
        return refused;
    case play_result::outcome::nothing_saved:
        return nothing_saved;
    case play_result::outcome::no_viewer:
        return no_viewer;
    case play_result::outcome::window_closed:
        std::fprintf(stderr, "quelto-runner: the window was closed; %lu script %s not run\n",
                     static_cast<unsigned long>(result.steps_not_run),
                     result.steps_not_run == 1 ? "line was" : "lines were");
        return window_closed;
    case play_result::outcome::failed:
        break;
    }
    std::fprintf(stderr, "quelto-runner: %s\n", result.error.c_str());
    return window_refused;
}
}  // namespace

int main(int argc, char** argv) {
    // Plain LF line ends: the output is mostly read by scripts on the Unix
    // side of Wine, and the C runtime would otherwise add a CR to each.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    options parsed;
    std::string error = parse_options(argc, argv, parsed);
    if (parsed.help) {
        std::fputs(usage_text, stdout);
        return done;
    }
    if (!error.empty()) return fail(error);

    std::string path = parsed.dll.empty() ? default_plugin_path() : parsed.dll;
    if (parsed.check) return check_installation(path) ? done : not_installed;
    std::unique_ptr<plugin_host> host = plugin_host::open(path, error);
    if (!host) return fail(error);
    if (!parsed.reference.empty()) return write_reference(*host, parsed.reference, error) ? done : fail(error);

    std::vector<script_step> steps;
    std::vector<script_diagnostic> diagnostics;
    read_steps(parsed.sources, host->actions(), steps, diagnostics);
    std::fputs(diagnostics_text(diagnostics).c_str(), stderr);
    if (has_error(diagnostics)) return bad_input;

    if (parsed.list) print_catalogue(*host, parsed.verbose);
    int status = steps.empty() && !parsed.hold ? done : play(*host, steps, parsed);
    std::fflush(stdout);
    return status;
}
