// The command-line host: its line syntax and name matching directly, and its
// handshake, exit codes and messages by running quelto-runner.exe against the
// built plug-in as a child process.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "runner/closest_name.h"
#include "runner/parameter_warnings.h"
#include "runner/received_catalogue.h"
#include "runner/script.h"
#include "runner/utf8_text.h"
#include "runner/window_size.h"
#include "tests/scratch_files.h"

namespace {

// Wine passes the Unix environment through; Z: is the Unix root.
std::string windows_path(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    std::string path = value ? value : fallback;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    return path;
}

std::string plugin_path() { return windows_path("QUELTO_PLUGIN_DLL", "VasaQuelto3D.dll"); }
std::string runner_path() { return windows_path("QUELTO_RUNNER_EXE", "quelto-runner.exe"); }
std::string bmp2png_path() { return windows_path("QUELTO_BMP2PNG_EXE", "quelto-bmp2png.exe"); }

using scratch_files::temp_folder;

std::string temp_file(const std::string& name, const std::string& contents) {
    std::string path = temp_folder() + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

const auto file_contents = scratch_files::read_text;

// Width and height from a BMP file's header; -1, -1 when it has none.
std::pair<std::int32_t, std::int32_t> bmp_size(const std::string& path) {
    std::string bytes = file_contents(path);
    if (bytes.size() < 26 || bytes.compare(0, 2, "BM") != 0) return {-1, -1};
    std::int32_t width, height;
    std::memcpy(&width, &bytes[18], 4);
    std::memcpy(&height, &bytes[22], 4);
    return {width, height};
}

// A small catalogue shaped like the plug-in's: names end in one space, and
// one name is a prefix of another.
received_catalogue sample_catalogue() {
    const char* words[] = {"Init", "End", "Show", "ShowFog", "SetBKColor"};
    received_catalogue actions;
    for (int i = 0; i < 5; ++i) {
        std::string name = std::string("KP_Quelto3D_") + words[i] + " ";
        actions.push_back({i + 1, name, "text\r\n" + name + "\"\"", "ACTIONPARAM_ALPHA", 1, 1});
    }
    return actions;
}

TEST(ClosestName, EditDistance) {
    struct row { const char* a; const char* b; std::size_t distance; };
    const row rows[] = {
        {"", "", 0},         {"End", "", 3},           {"show", "SHOW", 0},  // case is ignored
        {"Shwo", "Show", 1},  // a swap of neighbours is one edit
        {"kitten", "sitting", 3},
    };
    for (const row& r : rows) EXPECT_EQ(edit_distance(r.a, r.b), r.distance) << r.a << " / " << r.b;
}

TEST(ClosestName, Suggestion) {
    const std::vector<std::string> names = {"Show", "ShowFog", "Shaw", "End"};
    EXPECT_EQ(closest_name("Shwo", names), "Show");
    EXPECT_EQ(closest_name("shoa", names), "Show");  // Show and Shaw tie: the earlier wins
    EXPECT_EQ(closest_name("showfgo", names), "ShowFog");
    EXPECT_EQ(closest_name("Xyzzy", names), "");     // too far to be a typo
    EXPECT_EQ(closest_name("Show", {}), "");
}

TEST(ReceivedCatalogue, SplitHelpText) {
    struct row { const char* help; const char* description; const char* placeholder; };
    const row rows[] = {
        {"Shows the file\r\nKP_Quelto3D_Show \"Filename\"", "Shows the file", "Filename"},
        {"Ends \r\nKP_Quelto3D_End \"\"", "Ends ", ""},
        {"odd \"quote\r\nX \"a\"b\"", "odd \"quote", "a\"b"},  // outermost quotes of the usage line
        {"one quote\r\nX \"", "one quote\r\nX \"", ""},
    };
    for (const row& r : rows) {
        help_parts parts = split_help_text(r.help);
        EXPECT_EQ(parts.description, r.description) << r.help;
        EXPECT_EQ(parts.placeholder, r.placeholder) << r.help;
    }
}

TEST(ReceivedCatalogue, FindActionByName) {
    received_catalogue actions = sample_catalogue();
    struct row { const char* word; int number; };  // 0: not found
    const row rows[] = {
        {"Show", 3},          {"show", 3},         {"KP_QUELTO3D_SHOW", 3}, {"KP_Quelto3D_Show ", 3},
        {"ShowFog", 4},       {"ShowF", 0},        {"Sho", 0},              {"", 0},
        {"KP_Quelto3D_", 0},  {"Quelto3D_Show", 0}, {"kp_quelto3d_setbkcolor", 5},
    };
    for (const row& r : rows) {
        const received_action* action = find_action_by_name(actions, r.word);
        EXPECT_EQ(action ? action->number : 0, r.number) << "'" << r.word << "'";
        EXPECT_EQ(action_number(actions, r.word), r.number) << "'" << r.word << "'";
    }
    EXPECT_EQ(action_name(actions, 4), "KP_Quelto3D_ShowFog ");
    EXPECT_EQ(action_name(actions, 99), "");
    EXPECT_EQ(suggest_action_name(actions, "Shwo"), "Show");
    EXPECT_EQ(suggest_action_name(actions, "kp_quelto3d_shwo"), "KP_Quelto3D_Show");
}

TEST(Script, ParseLine) {
    received_catalogue actions = sample_catalogue();
    using kind = script_line::kind;
    struct row { const char* line; kind what; int number; const char* parameter_or_error; };
    const row rows[] = {
        {"", kind::nothing, 0, ""},
        {" \t \r\n", kind::nothing, 0, ""},
        {"   # Show x", kind::nothing, 0, ""},
        {"End ", kind::action, 2, ""},
        {"  End\r\n", kind::action, 2, ""},
        {"Show a.obj\r", kind::action, 3, "a.obj"},
        // After the one separating blank the text stands as written.
        {"Show  two  blanks ", kind::action, 3, " two  blanks "},
        {"Show\tC:\\models\\a b.obj", kind::action, 3, "C:\\models\\a b.obj"},
        {"SetBKColor 255,0,0 # not a comment", kind::action, 5, "255,0,0 # not a comment"},
        {"3 x.obj", kind::action, 3, "x.obj"},
        {"005", kind::action, 5, ""},
        {"+1 7", kind::action, 1, "7"},
        {"6 x", kind::error, 0, "action number 6 is outside 1..5"},
        {"-2", kind::error, 0, "action number -2 is outside 1..5"},
        {"4294967299", kind::error, 0, "action number 4294967299 is outside 1..5"},  // 3 after wrap-around
        {"Shwo x.obj", kind::error, 0, "unknown action 'Shwo'; did you mean 'Show'?"},
        {"Xyzzy", kind::error, 0, "unknown action 'Xyzzy'"},
    };
    for (const row& r : rows) {
        script_line parsed = parse_script_line(r.line, actions);
        EXPECT_EQ(parsed.what, r.what) << "'" << r.line << "'";
        EXPECT_EQ(parsed.number, r.number) << "'" << r.line << "'";
        EXPECT_EQ(r.what == kind::error ? parsed.error : parsed.parameter, r.parameter_or_error)
            << "'" << r.line << "'";
    }
}

TEST(Script, LinesAndLocations) {
    received_catalogue actions = sample_catalogue();
    std::vector<script_step> steps;
    std::vector<script_diagnostic> diagnostics;
    std::vector<std::string> lines =
        split_script_lines("# demo\r\nInit 12\r\n\r\nShow a.obj\r\nshwo b\r\nwait x\r\n9\r\nEnd");
    ASSERT_EQ(lines.size(), 8u);
    parse_script("demo.txt", lines, 1, actions, nullptr, steps, diagnostics);
    // Every mistake at once, in line order, each with its place.
    EXPECT_EQ(diagnostics_text(diagnostics),
              "demo.txt:5: unknown action 'shwo'; did you mean 'Show'?\n"
              "demo.txt:6: wait needs a whole number of milliseconds, not 'x'\n"
              "demo.txt:7: action number 9 is outside 1..5\n");
    EXPECT_TRUE(has_error(diagnostics));
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].origin, "demo.txt:2");
    EXPECT_EQ(steps[0].parameter, "12");
    EXPECT_EQ(steps[1].origin, "demo.txt:4");
    EXPECT_EQ(steps[1].number, 3);

    steps.clear();
    diagnostics.clear();
    parse_script("-e", {"End"}, 3, actions, nullptr, steps, diagnostics);
    EXPECT_TRUE(diagnostics.empty());
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].origin, "-e:3");

    // However many there are, stderr gets a screenful and a count of the rest.
    diagnostics.assign(23, {true, "e"});
    diagnostics.push_back({false, "w"});
    std::string screenful;
    for (int i = 0; i < 20; ++i) screenful += "e\n";
    EXPECT_EQ(diagnostics_text(diagnostics, 20), screenful + "quelto-runner: and 3 more errors and 1 more warning\n");
    diagnostics.resize(21);
    EXPECT_EQ(diagnostics_text(diagnostics, 20), screenful + "quelto-runner: and 1 more error\n");

    EXPECT_EQ(split_script_lines(""), std::vector<std::string>{});
    EXPECT_EQ(split_script_lines("a\n"), std::vector<std::string>{"a"});
    EXPECT_EQ(split_script_lines("\n\nb"), (std::vector<std::string>{"", "", "b"}));
}

TEST(Script, WaitDirective) {
    received_catalogue actions = sample_catalogue();
    using kind = script_line::kind;
    struct row { const char* line; kind what; std::uint32_t milliseconds; const char* error; };
    const row rows[] = {
        {"wait 500", kind::wait, 500, ""},
        {"  WAIT\t 0 \r\n", kind::wait, 0, ""},  // any case; blanks around the number
        {"Wait 2147483647", kind::wait, 2147483647u, ""},
        {"wait", kind::error, 0, "wait needs a number of milliseconds, such as 'wait 500'"},
        {"wait   ", kind::error, 0, "wait needs a number of milliseconds, such as 'wait 500'"},
        {"wait abc", kind::error, 0, "wait needs a whole number of milliseconds, not 'abc'"},
        {"wait -5", kind::error, 0, "wait needs a whole number of milliseconds, not '-5'"},
        {"wait 1.5", kind::error, 0, "wait needs a whole number of milliseconds, not '1.5'"},
        {"wait 500ms", kind::error, 0, "wait needs a whole number of milliseconds, not '500ms'"},
        {"wait 2147483648", kind::error, 0,
         "wait 2147483648 is too long; the longest is 2147483647 milliseconds"},
        // Would wrap around to a small number in 64 bits.
        {"wait 18446744073709552116", kind::error, 0,
         "wait 18446744073709552116 is too long; the longest is 2147483647 milliseconds"},
    };
    for (const row& r : rows) {
        script_line parsed = parse_script_line(r.line, actions);
        EXPECT_EQ(parsed.what, r.what) << "'" << r.line << "'";
        EXPECT_EQ(parsed.milliseconds, r.milliseconds) << "'" << r.line << "'";
        EXPECT_EQ(parsed.error, r.error) << "'" << r.line << "'";
    }
    // Only the whole word: anything longer is looked up as an action.
    EXPECT_EQ(parse_script_line("waiting 5", actions).error, "unknown action 'waiting'");

    std::vector<script_step> steps;
    std::vector<script_diagnostic> diagnostics;
    parse_script("w.txt", {"Init", "wait 250", "End"}, 1, actions, nullptr, steps, diagnostics);
    EXPECT_TRUE(diagnostics.empty());
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[1].what, script_step::kind::wait);
    EXPECT_EQ(steps[1].milliseconds, 250u);
    EXPECT_EQ(steps[1].origin, "w.txt:2");
    EXPECT_EQ(steps[2].what, script_step::kind::action);
}

TEST(WindowSize, Parse) {
    struct row { const char* text; bool ok; int width; int height; };
    const row rows[] = {
        {"640x480", true, 640, 480},  {"1X1", true, 1, 1},         {"8192x8192", true, 8192, 8192},
        {"0640x0480", true, 640, 480}, {"0x480", false, 0, 0},     {"640x0", false, 0, 0},
        {"8193x10", false, 0, 0},     {"99999x1", false, 0, 0},    {"640", false, 0, 0},
        {"x480", false, 0, 0},        {"640x", false, 0, 0},       {"640x480x2", false, 0, 0},
        {" 640x480", false, 0, 0},    {"-1x5", false, 0, 0},       {"640*480", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const row& r : rows) {
        window_size size{7, 9};
        std::string error;
        EXPECT_EQ(parse_window_size(r.text, size, error), r.ok) << "'" << r.text << "'";
        if (r.ok) {
            EXPECT_EQ(size.width, r.width) << r.text;
            EXPECT_EQ(size.height, r.height) << r.text;
        } else {
            EXPECT_EQ(size.width, 7) << "left as it was: " << r.text;
            EXPECT_NE(error.find("not '" + std::string(r.text) + "'"), std::string::npos) << error;
        }
    }
}

// Windows' own UTF-8 decoder is the oracle, since the runner hands UTF-8
// scripts to it: every text of one and two bytes, and the three- and
// four-byte forms over each lead and second byte.
TEST(Script, Utf8ValidityAgreesWithWindows) {
    auto windows_accepts = [](const std::string& text) {
        return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                   nullptr, 0) > 0;
    };
    int disagreements = 0;
    for (int lead = 0; lead < 256; ++lead) {
        std::vector<std::string> texts = {std::string(1, static_cast<char>(lead))};
        for (int second = 0; second < 256; ++second) {
            const std::string two = {static_cast<char>(lead), static_cast<char>(second)};
            texts.insert(texts.end(), {two, two + '\x80', two + "\x80\x80", two + "A"});
        }
        for (const std::string& text : texts)
            if (is_valid_utf8(text) != windows_accepts(text) && ++disagreements <= 10) {
                std::string bytes;
                for (unsigned char c : text) bytes += " " + std::to_string(c);
                ADD_FAILURE() << "bytes" << bytes << ": is_valid_utf8 says " << is_valid_utf8(text);
            }
    }
    EXPECT_EQ(disagreements, 0);
}

TEST(Script, EncodingOfScripts) {
    struct row { const char* text; bool utf8; };
    const row rows[] = {
        {"Show Z\xC3\xBCrich.obj\r\n", true},                   // valid UTF-8 beyond ASCII
        {"\xEF\xBB\xBF" "End\r\n", true},                       // the byte order mark alone says so
        {"\xEF\xBB\xBF" "Show caf\xE9.obj", true},              // even before bytes that are not UTF-8
        {"Show caf\xE9.obj\r\n", false},                        // Windows-1252 "é"
        {"# Z\xC3\xBCrich\r\nShow Z\xFCrich.obj\r\n", false},   // one byte that is not UTF-8 decides
        {"Init\r\nShow cube.obj\r\n", false},                   // ASCII reads the same either way
        {"", false},
    };
    for (const row& r : rows) EXPECT_EQ(is_utf8_script(r.text), r.utf8) << "'" << r.text << "'";
    EXPECT_EQ(without_byte_order_mark("\xEF\xBB\xBF" "End"), "End");
    EXPECT_EQ(without_byte_order_mark("End"), "End");

    // The file is read as it stands: its byte order mark tells the encoding.
    std::string text, error;
    std::string path = temp_file("quelto_runner_bom.txt", "\xEF\xBB\xBF" "End\r\n");
    ASSERT_TRUE(read_script_file(path, text, error)) << error;
    EXPECT_EQ(text, "\xEF\xBB\xBF" "End\r\n");
    EXPECT_EQ(nothing_to_run(path, "\xEF\xBB\xBF"), "script '" + path + "' is empty: nothing to run");
}

// Every action of the plug-in by name, numbered from 101 so that nothing can
// depend on the numbers the plug-in gave.
received_catalogue full_catalogue() {
    const char* words[] = {"Init", "End", "Show", "BKImage", "Clear", "SaveImage", "RenderMode", "GridMode",
                           "APIMode", "SetBKColor", "SelectRotate", "SelectMove", "Resize", "InertialRotation",
                           "GridSize", "LightMode", "SpecularLighting", "Smoothing", "CreaseAngle",
                           "UseDefaultMaterial", "ShowTransparency", "ShowTextures", "ShowFog",
                           "ShowHiddenGeometry", "ShowVertexes", "ShowLights", "ShowWorldAxis", "ShowBoundingBox",
                           "HWindow", "ScaleLighting"};
    received_catalogue actions;
    for (const char* word : words) {
        std::string name = std::string("KP_Quelto3D_") + word + " ";
        actions.push_back({static_cast<std::int32_t>(101 + actions.size()), name, "", "ACTIONPARAM_ALPHA", 1, 1});
    }
    return actions;
}

// The warnings of a script's lines, one text.
std::string warnings_of(const std::vector<std::string>& lines) {
    std::vector<script_step> steps;
    std::vector<script_diagnostic> diagnostics;
    parse_script("w.txt", lines, 1, full_catalogue(), nullptr, steps, diagnostics);
    EXPECT_FALSE(has_error(diagnostics));
    if (lines.size() == 1) {
        EXPECT_EQ(steps.size(), 1u) << "a warning stops nothing: " << lines[0];
    }
    return diagnostics_text(diagnostics);
}

// What each kind of parameter warns of; what the plug-in reads it as comes
// from the plug-in's own readers.
TEST(Script, ParameterWarnings) {
    struct row { const char* line; const char* warning; };
    const row rows[] = {
        {"SetBKColor 0 128 255", "SetBKColor takes red,green,blue, three whole numbers 0..255 between commas, as "
                                 "in 'SetBKColor 0,128,255'; '0 128 255' is read as 0,0,0"},
        {"SetBKColor 0;128;255", "... '0;128;255' is read as 0,0,0"},
        {"SetBKColor #FF8000", "... '#FF8000' is read as 0,0,0"},
        {"SetBKColor red", "... 'red' is read as 0,0,0"},
        {"SetBKColor 10,20", "... '10,20' is read as 10,20,0"},
        {"SetBKColor 1,2,3,4", "... '1,2,3,4' is read as 1,2,3"},
        {"SetBKColor 0,128,256", "... '0,128,256' is read as 0,128,255"},
        {"SetBKColor 0,-1,2", "... '0,-1,2' is read as 0,0,2"},
        {"GridSize abc", "GridSize takes a number; 'abc' is read as 0"},
        {"GridSize 0,25", "GridSize takes a number (with a decimal point, not a comma); '0,25' is read as 0"},
        {"ShowFog 1x", "ShowFog takes a number; '1x' is read as 1"},
        {"ScaleLighting 1,5,6", "ScaleLighting takes a number; '1,5,6' is read as 1.5"},
        {"Init window", "Init takes the handle of a window as a whole number, or nothing for the runner's window; "
                        "'window' is read as 0"},
        {"Init 12.5", "... '12.5' is read as 12"},
        {"Show \"C:\\models\\box 1.obj\"", "the quotes are part of the name Show is given, '\"C:\\models\\box "
                                           "1.obj\"'; names with spaces are written without quotes, as in 'Show "
                                           "C:\\models\\box 1.obj'"},
        {"SaveImage  out.bmp", "the name SaveImage is given, ' out.bmp', starts with a blank; only one blank goes "
                               "between the action and the name"},
        {"BKImage sky.bmp # the sky", "'#' starts no comment here: BKImage is given the whole text 'sky.bmp # the "
                                      "sky'; comments go on a line of their own"},
        {"End # done", "'#' starts no comment here: End is given the whole text '# done'; comments go on a line "
                       "of their own"},
        // Written as the plug-in reads them: no warning.
        {"SetBKColor 0,128,255", ""}, {"SetBKColor 000, 255 ,7", ""}, {"SetBKColor", ""},
        {"GridSize 0.25", ""}, {"GridSize -2.5E-3 ", ""}, {"GridSize .5", ""}, {"GridSize &H10", ""},
        {"GridSize &b101", ""}, {"GridSize 1d3", ""}, {"GridSize", ""}, {"ScaleLighting 1,5", ""},
        {"Init", ""}, {"Init 132456", ""}, {"Init -5", ""},
        {"Show C:\\models\\box 1.obj", ""}, {"Show #1.obj", ""}, {"SaveImage out.bmp", ""}, {"Clear", ""},
    };
    for (const row& r : rows) {
        std::string warning = warnings_of({r.line});
        if (std::string_view(r.warning).substr(0, 4) == "... ") {
            const std::string end = std::string(r.warning).substr(4) + "\n";
            EXPECT_TRUE(warning.size() > end.size() && warning.compare(warning.size() - end.size(), end.size(), end) == 0)
                << r.line << "\n" << warning;
        } else {
            EXPECT_EQ(warning, *r.warning ? "w.txt:1: warning: " + std::string(r.warning) + "\n" : "") << r.line;
        }
    }
    // Kinds are found by name: number 30 is no action of this catalogue.
    EXPECT_TRUE(parameter_warnings(full_catalogue(), 30, "\"x\" #").empty());
}

// The package's example scripts are written as they should be.
TEST(Script, ExamplesGiveNoWarning) {
    // The build names this file by its full Unix path, which Wine puts under Z:.
    std::string folder = __FILE__;
    folder = (folder[0] == '/' ? "Z:" : "") + folder.substr(0, folder.find_last_of("/\\") + 1) + "../examples/";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << folder;
    int scripts = 0;
    do {
        std::string text, error;
        ASSERT_TRUE(read_script_file(folder + found.cFileName, text, error)) << error;
        EXPECT_EQ(warnings_of(split_script_lines(text)), "") << found.cFileName;
        ++scripts;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_GE(scripts, 3);
}

struct run_result {
    DWORD exit_code = 0;
    std::string out;
    std::string err;
    DWORD milliseconds = 0;  // from start to exit
    // When each piece of stdout arrived: its end offset and the tick count.
    std::vector<std::pair<std::size_t, DWORD>> out_arrivals;

    // The tick at which `text` had fully arrived on stdout; 0 if it never did.
    DWORD arrival_of(const std::string& text) const {
        std::size_t at = out.find(text);
        if (at == std::string::npos) return 0;
        for (const auto& arrival : out_arrivals)
            if (arrival.first >= at + text.size()) return arrival.second;
        return 0;
    }
};

// The processes running now, one "name (pid, parent pid)" each, to say what
// else was there when a child hung or left its output pipes open.
std::string process_list() {
    std::string list;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return "(no process snapshot)";
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        list += std::string(list.empty() ? "" : ", ") + entry.szExeFile + " (" + std::to_string(entry.th32ProcessID) +
                ", " + std::to_string(entry.th32ParentProcessID) + ")";
    CloseHandle(snapshot);
    return list;
}

// quelto-runner.exe (or another of our programs) running as a child
// process, its output read as it comes. Nothing here waits without a limit:
// a child that hangs is killed, and output pipes that another process keeps
// open after the child ended are let go, each with a failure that says what
// the child had printed and which processes were running.
class runner_process {
public:
    // `arguments` are already quoted where needed.
    explicit runner_process(const std::string& arguments, const std::string& program = runner_path()) {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE out_write, err_write;
        if (!CreatePipe(&out_read_, &out_write, &inherit, 0) || !CreatePipe(&err_read_, &err_write, &inherit, 0)) {
            ADD_FAILURE() << "CreatePipe failed";
            return;
        }
        SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(err_read_, HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = out_write;
        startup.hStdError = err_write;
        command_ = "\"" + program + "\" " + arguments;
        std::string command_line = command_;
        started_at_ = GetTickCount();
        BOOL started = CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &process_);
        // Only the child may hold the write ends, or the reads never see the end.
        CloseHandle(out_write);
        CloseHandle(err_write);
        if (!started) {
            ADD_FAILURE() << "cannot start " << command_ << ": error " << GetLastError();
            return;
        }
        // Both pipes are drained at once so a full one cannot stall the child.
        out_reader_ = std::thread(&runner_process::drain, this, out_read_, &result_.out, &result_.out_arrivals,
                                  &out_done_);
        err_reader_ = std::thread(&runner_process::drain, this, err_read_, &result_.err, nullptr, &err_done_);
    }

    ~runner_process() {
        if (process_.hProcess) finish(0);
        for (HANDLE pipe : {out_read_, err_read_})
            if (pipe) CloseHandle(pipe);
    }

    DWORD id() const { return process_.dwProcessId; }

    // Waits up to `limit` ms for `text` on stdout; true once it is there.
    bool wait_for_output(const std::string& text, DWORD limit) {
        for (const DWORD until = GetTickCount() + limit; static_cast<LONG>(until - GetTickCount()) > 0; Sleep(2)) {
            std::lock_guard<std::mutex> hold(output_lock_);
            if (result_.out.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // Ends the child at once, as CTest, a watchdog or Task Manager would.
    void kill() {
        if (process_.hProcess) TerminateProcess(process_.hProcess, 99);
    }
    bool still_running(DWORD milliseconds) const {
        return process_.hProcess && WaitForSingleObject(process_.hProcess, milliseconds) == WAIT_TIMEOUT;
    }

    // Waits at most `limit` ms for the child to exit; a child that has not
    // is a hang: it is killed and the test fails.
    run_result finish(DWORD limit) {
        if (!process_.hProcess) return result_;
        if (WaitForSingleObject(process_.hProcess, limit) != WAIT_OBJECT_0) {
            ADD_FAILURE() << command_ << " (process " << process_.dwProcessId << ") did not finish within " << limit
                          << " ms; processes (id, parent): " << process_list()
                          << "\nits output so far:\n" << printed();
            TerminateProcess(process_.hProcess, 99);
            if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
                ADD_FAILURE() << command_ << " did not end within 10 s of being killed";
        }
        result_.milliseconds = GetTickCount() - started_at_;
        // The pipes end when the last process holding a write end has ended.
        const DWORD grace_until = GetTickCount() + 5000;
        while (!(out_done_ && err_done_) && static_cast<LONG>(grace_until - GetTickCount()) > 0) Sleep(5);
        if (!(out_done_ && err_done_))
            ADD_FAILURE() << command_ << " (process " << process_.dwProcessId
                          << ") ended, but its output pipes stayed open 5 s later; processes (id, parent): "
                          << process_list() << "\nits output:\n" << printed();
        stop_ = true;
        out_reader_.join();
        err_reader_.join();
        GetExitCodeProcess(process_.hProcess, &result_.exit_code);
        CloseHandle(process_.hProcess);
        CloseHandle(process_.hThread);
        process_ = {};
        return result_;
    }

private:
    // Reads without blocking, so that a pipe some other process keeps open
    // cannot hold this thread once `stop_` is set.
    void drain(HANDLE pipe, std::string* into, std::vector<std::pair<std::size_t, DWORD>>* arrivals,
               std::atomic<bool>* done) {
        char buffer[4096];
        for (;;) {
            DWORD available = 0, got = 0;
            if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;  // every writer has gone
            if (available == 0) {
                if (stop_) break;
                Sleep(2);
                continue;
            }
            if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr) ||
                got == 0)
                break;
            std::lock_guard<std::mutex> hold(output_lock_);
            into->append(buffer, got);
            if (arrivals) arrivals->emplace_back(into->size(), GetTickCount());
        }
        *done = true;
    }

    std::string printed() {
        std::lock_guard<std::mutex> hold(output_lock_);
        return "stdout: " + result_.out + "\nstderr: " + result_.err;
    }

    std::string command_;
    HANDLE out_read_ = nullptr, err_read_ = nullptr;
    PROCESS_INFORMATION process_ = {};
    DWORD started_at_ = 0;
    std::mutex output_lock_;
    std::atomic<bool> stop_{false}, out_done_{false}, err_done_{false};
    std::thread out_reader_, err_reader_;
    run_result result_;
};

// Under Wine, the first process that needs the desktop starts explorer.exe,
// which then holds a copy of that process's standard output and error for as
// long as any other process of the prefix runs. Were that process a runner
// started here, its output pipes would stay open while this program lives
// (reading them to the end once hung the test until CTest's limit). This
// program takes the desktop before it starts any runner.
class desktop_before_any_runner : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_NE(GetDesktopWindow(), nullptr);
        HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        DestroyWindow(window);
    }
};
::testing::Environment* const desktop_first = ::testing::AddGlobalTestEnvironment(new desktop_before_any_runner);

// The runner stops a script whose Init brings no viewer up: the built control
// is registered in the prefix while these tests run, and removed after them.
class control_registered : public ::testing::Environment {
public:
    void SetUp() override {
        control_ = LoadLibraryA(windows_path("QUELTO_CONTROL_DLL", "Quelto3dCtrl.dll").c_str());
        ASSERT_NE(control_, nullptr);
        ASSERT_EQ(call("DllRegisterServer"), S_OK);
    }
    void TearDown() override {
        if (!control_) return;
        call("DllUnregisterServer");
        FreeLibrary(control_);
    }

private:
    HRESULT call(const char* name) {
        using entry = HRESULT(WINAPI*)();
        auto function = reinterpret_cast<entry>(reinterpret_cast<void*>(GetProcAddress(control_, name)));
        return function ? function() : E_NOTIMPL;
    }
    HMODULE control_ = nullptr;
};
::testing::Environment* const control_first = ::testing::AddGlobalTestEnvironment(new control_registered);

// Under Wine a start takes about a second; a minute means a hang.
// The runner's stderr without its warning about the viewer control, which
// depends on what the shared prefix has registered (the package test checks
// the warning in a prefix of its own).
std::string without_control_warning(std::string err) {
    for (const char* start : {"quelto-runner: the viewer control ", "quelto-runner: no viewer control "}) {
        const std::size_t at = err.rfind(start, 0) == 0 ? 0 : err.find(std::string("\n") + start);
        if (at == std::string::npos) continue;
        const std::size_t from = at == 0 ? 0 : at + 1;
        err.erase(from, err.find('\n', from) - from + 1);
    }
    return err;
}

run_result run_runner(const std::string& arguments, DWORD limit = 60000) {
    run_result run = runner_process(arguments).finish(limit);
    run.err = without_control_warning(run.err);
    return run;
}

std::string with_plugin(const std::string& arguments) { return "--dll \"" + plugin_path() + "\" " + arguments; }

// Bad input: exit code 2, nothing on stdout, exactly one line on stderr.
void expect_one_error_line(const run_result& run, const std::string& expected_part) {
    EXPECT_EQ(run.exit_code, 2u);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(expected_part), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << run.err;
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The plug-in frees each announced text when its callback returns, so this
// also shows that the runner kept copies.
TEST(RunnerProgram, ListsWhatTheHostReceived) {
    // No --dll: the build puts the plug-in beside the runner, where it looks.
    run_result run = run_runner("--list --verbose");
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("title:     VasaQuelto3D 1.0.2a\npublisher: Ivel Tarsum\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\n 1  KP_Quelto3D_Init \"[handle_rect]\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n10  KP_Quelto3D_SetBKColor \"rrr,ggg,bbb\""), std::string::npos);
    EXPECT_NE(run.out.find("Sets Background Color \n"), std::string::npos);
    EXPECT_EQ(occurrences(run.out, "  KP_Quelto3D_"), 30);
    EXPECT_EQ(occurrences(run.out, "parameter type ACTIONPARAM_ALPHA, count 1, 1\n"), 30);
}

TEST(RunnerProgram, RunsActionsQuietlyOrVerbosely) {
    run_result quiet = run_runner(with_plugin("-e End -e \"kp_quelto3d_SETBKCOLOR 1,2,3\""));
    EXPECT_EQ(quiet.exit_code, 0u) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");

    std::string script = temp_file("quelto_runner_good.txt", "# colour\r\n\r\n10 4,5,6\r\n");
    run_result verbose = run_runner(with_plugin("--verbose -e End \"" + script + "\""));
    EXPECT_EQ(verbose.exit_code, 0u) << verbose.err;
    EXPECT_EQ(verbose.out, "-e:1: 2 KP_Quelto3D_End \"\"\n" + script + ":3: 10 KP_Quelto3D_SetBKColor \"4,5,6\"\n");
}

TEST(RunnerProgram, BadInputGivesOneLineAndExitCode2) {
    std::string missing = "Z:\\nonexistent\\VasaQuelto3D.dll";
    expect_one_error_line(run_runner("--dll " + missing + " -e End"), "cannot load plug-in '" + missing + "': ");

    run_result not_plugin = run_runner("--dll kernel32.dll -e End");
    expect_one_error_line(not_plugin, "'kernel32.dll' is not a plug-in");
    for (const char* name : {"_pgInitPlugIn@16", "_pgRegisterPlugIn@16", "_pgExecAction@8", "_pgEditAction@8"})
        EXPECT_NE(not_plugin.err.find(name), std::string::npos) << name;

    expect_one_error_line(run_runner(with_plugin("-e End -e \"Shwo x.obj\"")),
                          "-e:2: unknown action 'Shwo'; did you mean 'Show'?\n");
    expect_one_error_line(run_runner(with_plugin("-e 31")), "-e:1: action number 31 is outside 1..30\n");

    std::string unreadable = temp_file("quelto_runner_x.txt", "") + ".missing";
    expect_one_error_line(run_runner(with_plugin("\"" + unreadable + "\"")),
                          "cannot read script '" + unreadable + "': ");

    // Every line is checked before the first action runs: --verbose shows none.
    std::string bad = temp_file("quelto_runner_bad.txt", "End\r\n# fine so far\r\nSetBKColr 1,2,3\r\n");
    expect_one_error_line(run_runner(with_plugin("--verbose \"" + bad + "\"")),
                          bad + ":3: unknown action 'SetBKColr'; did you mean 'SetBKColor'?\n");

    expect_one_error_line(run_runner("--bogus"), "unknown option '--bogus'");
    expect_one_error_line(run_runner(""), "nothing to do");
}

// A script that cannot run says why, by its name; a message quotes at most an
// excerpt of what it was given, however long that is.
TEST(RunnerProgram, ScriptsWithNothingToRunAndOverlongInput) {
    const std::string folder = temp_folder() + "quelto_runner_folder";
    CreateDirectoryA(folder.c_str(), nullptr);
    expect_one_error_line(run_runner(with_plugin("\"" + folder + "\"")),
                          "script '" + folder + "' is a folder, not a file\n");

    const std::string empty = temp_file("quelto_runner_empty.txt", "");
    expect_one_error_line(run_runner(with_plugin("-e End \"" + empty + "\"")),
                          "script '" + empty + "' is empty: nothing to run\n");
    const std::string comments = temp_file("quelto_runner_comments.txt", "# only a comment\r\n\r\n \t\r\n");
    expect_one_error_line(run_runner(with_plugin("\"" + comments + "\"")),
                          "script '" + comments + "' holds only comments and blank lines: nothing to run\n");

    const std::string huge = temp_file("quelto_runner_huge.txt", std::string(100000, 'Q') + " x\r\n");
    expect_one_error_line(run_runner(with_plugin("\"" + huge + "\"")),
                          huge + ":1: unknown action '" + std::string(77, 'Q') + "...'\n");
}

// True when this process's ANSI code page holds the UTF-16 `text`; `ansi` is
// then the text in it, as the plug-in must get it.
bool in_ansi_code_page(const wchar_t* text, std::string& ansi) {
    char converted[MAX_PATH] = "";
    BOOL lacking = FALSE;
    if (!WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, converted, sizeof converted, nullptr, &lacking))
        return false;
    ansi = converted;
    return !lacking;
}

// A UTF-8 script reaches the plug-in in the ANSI code page, as the host hands
// it text. A character that code page lacks stops the script before anything
// runs, reported with every other mistake and warning of the script.
TEST(RunnerProgram, Utf8ScriptsReachThePluginInTheAnsiCodePage) {
    std::string ansi_name;
    if (!in_ansi_code_page(L"quelto_Z\u00FCrich.bmp", ansi_name)) GTEST_SKIP() << "code page " << GetACP();
    const std::string picture = temp_folder() + ansi_name;
    const std::string misread = temp_folder() + "quelto_Z\xC3\xBCrich.bmp";  // the UTF-8 bytes taken as ANSI
    DeleteFileA(picture.c_str());
    DeleteFileA(misread.c_str());
    const std::string script =
        temp_file("quelto_runner_utf8.txt", "Init\r\nSaveImage " + temp_folder() + "quelto_Z\xC3\xBCrich.bmp\r\n");
    run_result run = run_runner(with_plugin("\"" + script + "\""), 60000);
    EXPECT_NE(GetFileAttributesA(picture.c_str()), INVALID_FILE_ATTRIBUTES) << run.err;
    EXPECT_EQ(GetFileAttributesA(misread.c_str()), INVALID_FILE_ATTRIBUTES);

    std::string unused;
    if (in_ansi_code_page(L"\u6A21", unused)) GTEST_SKIP() << "code page " << GetACP() << " holds U+6A21";
    const std::string chinese = temp_file("quelto_runner_chinese.txt",
                                          "Init\r\n# \xE6\xA8\xA1\xE5\x9E\x8B: a comment may hold any character\r\n"
                                          "Show \xE6\xA8\xA1.obj\r\nGridSize x\r\nShwo a.obj\r\n");
    run_result refused = run_runner(with_plugin("--verbose \"" + chinese + "\""));
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, chinese + ":3: \"\xE6\xA8\xA1\" (U+6A21) cannot be handed to the plug-in: the ANSI code "
                                     "page (" + std::to_string(GetACP()) + ") has no such character; the plug-in "
                                     "takes ANSI text only, so write the parameter without it\n" +
                               chinese + ":4: warning: GridSize takes a number; 'x' is read as 0\n" + chinese +
                               ":5: unknown action 'Shwo'; did you mean 'Show'?\n");
}

// A SaveImage while no viewer is up saves a picture of no pixels; the
// converter refuses it, and a file that is no BMP, instead of writing a PNG.
TEST(RunnerProgram, Bmp2PngRefusesWhatItCannotConvert) {
    const std::string nothing = temp_file("quelto_runner_nothing.bmp", "");
    // Saved while no viewer is up: the runner says so (status 6), the file is there.
    run_result saved = run_runner(with_plugin("-e \"SaveImage " + nothing + "\""));
    ASSERT_EQ(saved.exit_code, 6u) << saved.err;
    ASSERT_EQ(bmp_size(nothing), std::make_pair(0, 0));

    const std::string text = temp_file("quelto_runner_text.bmp", "not a picture");
    const std::pair<std::string, std::string> rows[] = {{nothing, "the picture is 0x0 pixels"},
                                                        {text, "cannot be converted"}};
    for (const auto& [input, message] : rows) {
        const std::string png = input + ".png";
        DeleteFileA(png.c_str());
        run_result run = runner_process("\"" + input + "\" \"" + png + "\"", bmp2png_path()).finish(60000);
        EXPECT_EQ(run.exit_code, 1u) << input;
        EXPECT_NE(run.err.find(input + ": " + message), std::string::npos) << run.err;
        EXPECT_EQ(GetFileAttributesA(png.c_str()), INVALID_FILE_ATTRIBUTES) << "a PNG was written for " << input;
    }
}

// --verbose output of a script that opens the window, with the rectangle's
// handle put in for "#"; "" when the first line is not the window's.
std::string with_handle_placeholder(const std::string& out, const std::string& size) {
    std::string first = "runner: host rectangle " + size + ", handle ";
    if (out.rfind(first, 0) != 0) return "";
    std::size_t end = out.find('\n');
    std::string handle = out.substr(first.size(), end - first.size());
    std::string text = out;
    for (std::size_t at = text.find(handle); at != std::string::npos; at = text.find(handle, at + 1))
        text.replace(at, handle.size(), "#");
    return text;
}

// Each action after Init is taken from the queue by Init's own loop: it runs
// before Init returns, and Init returns once End has ended the viewer.
TEST(RunnerViewer, ActionsRunInsideInit) {
    run_result run = run_runner(
        with_plugin("--verbose --size 320x200 -e Init -e \"SetBKColor 1,2,3\" -e \"GridSize 5\" "
                    "-e \"wait 700\" -e End"),
        60000);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(with_handle_placeholder(run.out, "320x200"),
              "runner: host rectangle 320x200, handle #\n"
              "-e:1: 1 KP_Quelto3D_Init \"#\"\n"
              "-e:2: 10 KP_Quelto3D_SetBKColor \"1,2,3\"\n"
              "-e:3: 15 KP_Quelto3D_GridSize \"5\"\n"
              "-e:4: wait 700\n"
              "-e:5: 2 KP_Quelto3D_End \"\"\n"
              "-e:1: Init returned\n")
        << run.out;
    // The runner flushes each line as it starts that step: the gap between
    // two lines is the time the first step took. (Timer ticks are coarse.)
    DWORD wait_started = run.arrival_of("wait 700\n"), end_started = run.arrival_of("KP_Quelto3D_End");
    ASSERT_TRUE(wait_started && end_started);
    EXPECT_GE(end_started - wait_started, 650u) << "the wait was not waited";
}

TEST(RunnerViewer, ScriptWithoutEndGetsEnd) {
    run_result run = run_runner(with_plugin("--verbose -e Init -e \"GridSize 5\""), 60000);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(with_handle_placeholder(run.out, "640x480"),
              "runner: host rectangle 640x480, handle #\n"
              "-e:1: 1 KP_Quelto3D_Init \"#\"\n"
              "-e:2: 15 KP_Quelto3D_GridSize \"5\"\n"
              "runner: 2 KP_Quelto3D_End \"\"\n"
              "-e:1: Init returned\n")
        << run.out;
}

// Once Init has returned, the script goes on from the runner's own loop, and
// a second Init brings the viewer up again.
TEST(RunnerViewer, ScriptGoesOnAfterTheViewerEnds) {
    run_result run = run_runner(
        with_plugin("--verbose -e Init -e End -e \"wait 50\" -e \"SetBKColor 4,5,6\" -e Init"), 60000);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(with_handle_placeholder(run.out, "640x480"),
              "runner: host rectangle 640x480, handle #\n"
              "-e:1: 1 KP_Quelto3D_Init \"#\"\n"
              "-e:2: 2 KP_Quelto3D_End \"\"\n"
              "-e:1: Init returned\n"
              "-e:3: wait 50\n"
              "-e:4: 10 KP_Quelto3D_SetBKColor \"4,5,6\"\n"
              "-e:5: 1 KP_Quelto3D_Init \"#\"\n"
              "runner: 2 KP_Quelto3D_End \"\"\n"
              "-e:5: Init returned\n")
        << run.out;
}

// SaveImage captures the container, which covers the host rectangle: the
// picture has the --size of the rectangle only while the viewer is up.
TEST(RunnerViewer, PictureHasTheRectanglesSize) {
    std::string picture = temp_file("quelto_runner_picture.bmp", "");
    DeleteFileA(picture.c_str());
    run_result run =
        run_runner(with_plugin("--size 200x120 -e Init -e \"wait 100\" -e \"SaveImage " + picture + "\""), 60000);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(bmp_size(picture), std::make_pair(200, 120));
}

// SaveImage runs inside Init's loop. A file it did not write is reported with
// the likely cause, the viewer is ended, no later line runs, and the run ends
// with status 4; the file, if there is one, keeps its time and contents.
TEST(RunnerViewer, SaveImageThatWritesNothingEndsTheRun) {
    const std::string missing = temp_folder() + "quelto_no_such_folder";
    run_result run = run_runner(
        with_plugin("--verbose -e Init -e \"SaveImage " + missing + "\\pic.bmp|x\" -e \"GridSize 3\""), 60000);
    EXPECT_EQ(run.exit_code, 4u);
    EXPECT_EQ(run.err, "-e:2: SaveImage wrote nothing to '" + missing + "\\pic.bmp': the folder '" + missing +
                           "' does not exist\n");
    EXPECT_NE(run.out.find("\nrunner: 2 KP_Quelto3D_End \"\"\n-e:1: Init returned\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("GridSize"), std::string::npos) << run.out;

    // Names the plug-in refuses; the long one is quoted by its start only.
    const std::string long_name = temp_folder() + std::string(300, 'n') + ".bmp";
    const std::pair<std::string, std::string> refused[] = {
        {"a*b.bmp", "-e:2: SaveImage wrote nothing to 'a*b.bmp': a file name cannot hold '*' or '?'\n"},
        {long_name, "-e:2: SaveImage wrote nothing to '" + long_name.substr(0, 77) + "...': the name is " +
                        std::to_string(long_name.size()) + " characters long; SaveImage takes at most 255\n"}};
    for (const auto& [name, message] : refused) {
        run_result refusal = run_runner(with_plugin("-e Init -e \"SaveImage " + name + "\""), 60000);
        EXPECT_EQ(refusal.exit_code, 4u) << name;
        EXPECT_EQ(refusal.err, message);
    }

    // Held open by another program: the plug-in cannot open it. The runner
    // only looks: every time the file has stays, the change time included
    // (which setting a time and putting it back would move), also when the
    // runner is killed while the SaveImage line runs.
    const std::string busy = temp_file("quelto_runner_busy.bmp", "old picture");
    HANDLE held = CreateFileA(busy.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    auto times = [held] {
        FILE_BASIC_INFO basic = {};
        EXPECT_TRUE(GetFileInformationByHandleEx(held, FileBasicInfo, &basic, sizeof basic));
        return std::make_tuple(basic.CreationTime.QuadPart, basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart);
    };
    const auto before = times();
    run_result in_use = run_runner(with_plugin("-e Init -e \"SaveImage " + busy + "\""), 60000);
    EXPECT_EQ(in_use.exit_code, 4u);
    EXPECT_NE(in_use.err.find("': the file could not be written there"), std::string::npos) << in_use.err;
    EXPECT_TRUE(times() == before) << "the file's times were changed";
    runner_process killed(with_plugin("--verbose -e Init -e \"SaveImage " + busy + "\" -e \"wait 5000\""));
    ASSERT_TRUE(killed.wait_for_output("SaveImage", 60000));
    killed.kill();
    killed.finish(10000);
    EXPECT_TRUE(times() == before) << "the file's times were changed by a runner killed in its SaveImage line";
    CloseHandle(held);
    EXPECT_EQ(file_contents(busy), "old picture");

    // The same picture saved twice in a row to one file is two writes.
    const std::string twice = temp_file("quelto_runner_twice.bmp", "");
    run_result saved = run_runner(
        with_plugin("-e Init -e \"SaveImage " + twice + "\" -e \"SaveImage " + twice + "\""), 60000);
    EXPECT_EQ(saved.exit_code, 0u) << saved.err;
}

struct window_search {
    DWORD process;
    HWND found;
};

BOOL CALLBACK match_process_window(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<window_search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->process || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

// The visible top-level window of process `id`, waited for up to 15 s.
HWND window_of_process(DWORD id) {
    window_search search = {id, nullptr};
    for (int tries = 0; tries < 300 && !search.found; ++tries) {
        EnumWindows(match_process_window, reinterpret_cast<LPARAM>(&search));
        if (!search.found) Sleep(50);
    }
    return search.found;
}

// The plug-in's container inside the frame's host rectangle, waited for up
// to 15 s. Once it exists, Init is running and the runner has already queued
// the next line.
HWND viewer_container(HWND frame) {
    for (int tries = 0; tries < 300; ++tries) {
        HWND rectangle = GetWindow(frame, GW_CHILD);
        if (HWND container = rectangle ? GetWindow(rectangle, GW_CHILD) : nullptr) return container;
        Sleep(50);
    }
    return nullptr;
}

// With --hold the viewer outlives the script; closing the frame takes the
// rectangle and so the viewer with it, without an End from the runner.
TEST(RunnerViewer, HoldKeepsTheViewerUntilTheWindowCloses) {
    runner_process runner(with_plugin("--hold --verbose -e Init -e \"GridSize 3\""));
    HWND frame = window_of_process(runner.id());
    ASSERT_TRUE(frame) << "no window appeared";
    char title[100] = "";
    GetWindowTextA(frame, title, sizeof title);
    EXPECT_EQ(std::string(title).rfind("quelto-runner: VasaQuelto3D", 0), 0u) << title;
    EXPECT_TRUE(viewer_container(frame)) << "Init did not get the rectangle";
    EXPECT_TRUE(runner.still_running(1500)) << "did not hold";
    PostMessageA(frame, WM_CLOSE, 0, 0);
    run_result run = runner.finish(60000);
    run.err = without_control_warning(run.err);
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("-e:2: 15 KP_Quelto3D_GridSize \"3\"\n-e:1: Init returned\n"), std::string::npos)
        << run.out;
}

TEST(RunnerViewer, ClosingTheWindowStopsTheScript) {
    runner_process runner(with_plugin("--verbose -e Init -e \"wait 30000\" -e \"GridSize 3\" -e End"));
    HWND frame = window_of_process(runner.id());
    ASSERT_TRUE(frame) << "no window appeared";
    ASSERT_TRUE(viewer_container(frame)) << "the viewer did not come up";
    PostMessageA(frame, WM_CLOSE, 0, 0);
    run_result run = runner.finish(60000);
    run.err = without_control_warning(run.err);
    EXPECT_EQ(run.exit_code, 3u);
    EXPECT_EQ(run.err, "quelto-runner: the window was closed; 2 script lines were not run\n");
    EXPECT_EQ(run.out.find("GridSize"), std::string::npos) << run.out;
    EXPECT_LT(run.milliseconds, 30000u) << "the wait ran out instead";
}

// A run whose viewer never came up, or whose picture would be empty, is a
// failure of its own (status 6) that says what to do, not a success with a
// useless picture.
TEST(RunnerViewer, NoViewerStopsTheRunWithStatus6) {
    const std::string picture = temp_folder() + "quelto_no_viewer.bmp";
    DeleteFileA(picture.c_str());
    run_result no_window = run_runner(with_plugin("-e \"Init 12345\" -e \"SaveImage " + picture + "\""));
    EXPECT_EQ(no_window.exit_code, 6u);
    EXPECT_EQ(no_window.err, "-e:1: no viewer came up, so the script stops here: Init's parameter '12345' is not a "
                             "window handle; write Init without a parameter for the runner's window\n");
    EXPECT_EQ(GetFileAttributesA(picture.c_str()), INVALID_FILE_ATTRIBUTES) << "the SaveImage after it ran";

    for (const char* script : {"-e \"SaveImage ", "-e Init -e End -e \"SaveImage "}) {
        run_result empty = run_runner(with_plugin(script + picture + "\" -e \"GridSize 2\""));
        EXPECT_EQ(empty.exit_code, 6u) << script;
        EXPECT_NE(empty.err.find(": SaveImage saved an empty picture (0 by 0 pixels) to '" + picture +
                                 "': no viewer was up; SaveImage copies the viewer from the screen, so put it after "
                                 "Init and before End\n"),
                  std::string::npos)
            << empty.err;
        EXPECT_EQ(bmp_size(picture), std::make_pair(0, 0));
    }
}

// Each message line the control shows is printed with the line that led to
// it, also when it repeats the one before.
TEST(RunnerViewer, ViewerMessagesReachStderrWithTheirLine) {
    const std::string missing = temp_folder() + "quelto_no_such_model.obj";
    run_result run = run_runner(
        with_plugin("-e Init -e \"Show " + missing + "\" -e \"GridSize 2\" -e \"Show " + missing + "\" -e End"));
    EXPECT_EQ(run.exit_code, 0u) << run.err;
    EXPECT_EQ(occurrences(run.err, "quelto_no_such_model.obj"), 2) << run.err;
    EXPECT_EQ(run.err.rfind("-e:2: viewer: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("\n-e:4: viewer: "), std::string::npos) << run.err;
}

// The viewer lies on the screen whenever its size fits there: a picture of a
// rectangle nearly as high as the screen has the viewer's background in its
// corners, not black.
TEST(RunnerViewer, ViewerIsPlacedOnTheScreenAndOversizeIsRefused) {
    const int screen_width = GetSystemMetrics(SM_CXSCREEN), screen_height = GetSystemMetrics(SM_CYSCREEN);
    const std::string picture = temp_file("quelto_tall.bmp", "");
    const std::string size = std::to_string(screen_width) + "x" + std::to_string(screen_height - 34);
    run_result tall = run_runner(
        with_plugin("--size " + size + " -e Init -e \"SetBKColor 0,0,255\" -e \"wait 100\" -e \"SaveImage " +
                    picture + "\""));
    ASSERT_EQ(tall.exit_code, 0u) << tall.err;
    const std::string bytes = file_contents(picture);
    const auto [width, height] = bmp_size(picture);
    ASSERT_EQ(width, screen_width);
    ASSERT_EQ(std::size_t(54 + 4 * width * height), bytes.size());
    for (std::size_t at : {std::size_t(54), bytes.size() - 4})  // bottom left, top right
        EXPECT_EQ(bytes.substr(at, 3), std::string("\xFF\0\0", 3)) << "not the blue background at " << at;

    const std::string too_wide = std::to_string(screen_width + 1) + "x200";
    expect_one_error_line(run_runner(with_plugin("--size " + too_wide + " -e Init")),
                          "--size " + too_wide + " does not fit on the screen, which is " +
                              std::to_string(screen_width) + "x" + std::to_string(screen_height) + " pixels");
}

TEST(RunnerViewer, BadWaitOrSizeStopsBeforeAnything) {
    // --verbose would print the window's line if one had opened.
    std::string script = temp_file("quelto_runner_wait.txt", "Init\r\nwait abc\r\nEnd\r\n");
    expect_one_error_line(run_runner(with_plugin("--verbose \"" + script + "\"")),
                          script + ":2: wait needs a whole number of milliseconds, not 'abc'\n");
    expect_one_error_line(run_runner(with_plugin("--size 0x480 -e Init")),
                          "--size wants WIDTHxHEIGHT in pixels, each 1..8192, such as 640x480; not '0x480'\n");
    expect_one_error_line(run_runner(with_plugin("-e Init --size")), "--size needs a value\n");
}

}  // namespace
