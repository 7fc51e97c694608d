// The command-line host: its line syntax and name matching directly, and its
// handshake, exit codes and messages by running quelto-runner.exe against the
// built plug-in as a child process.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "runner/closest_name.h"
#include "runner/received_catalogue.h"
#include "runner/script.h"

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

std::string temp_file(const std::string& name, const std::string& contents) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    std::string path = std::string(folder) + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
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
    }
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
    std::vector<std::string> lines = split_script_lines("# demo\r\nInit 12\r\n\r\nShow a.obj\r\nshwo b\r\nEnd");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(parse_script("demo.txt", lines, 1, actions, steps),
              "demo.txt:5: unknown action 'shwo'; did you mean 'Show'?");
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].origin, "demo.txt:2");
    EXPECT_EQ(steps[0].parameter, "12");
    EXPECT_EQ(steps[1].origin, "demo.txt:4");
    EXPECT_EQ(steps[1].number, 3);

    steps.clear();
    EXPECT_EQ(parse_script("-e", {"End"}, 3, actions, steps), "");
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].origin, "-e:3");

    EXPECT_EQ(split_script_lines(""), std::vector<std::string>{});
    EXPECT_EQ(split_script_lines("a\n"), std::vector<std::string>{"a"});
    EXPECT_EQ(split_script_lines("\n\nb"), (std::vector<std::string>{"", "", "b"}));
}

TEST(Script, ReadFileDropsByteOrderMark) {
    std::string text, error;
    std::string path = temp_file("quelto_runner_bom.txt", "\xEF\xBB\xBF" "End\r\n");
    ASSERT_TRUE(read_script_file(path, text, error)) << error;
    EXPECT_EQ(text, "End\r\n");  // the byte order mark would spoil the first name
}

struct run_result {
    DWORD exit_code = 0;
    std::string out;
    std::string err;
};

// Runs quelto-runner.exe with `arguments` (already quoted where needed).
run_result run_runner(const std::string& arguments) {
    run_result result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read, &out_write, &inherit, 0) || !CreatePipe(&err_read, &err_write, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return result;
    }
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    std::string command = "\"" + runner_path() + "\" " + arguments;
    PROCESS_INFORMATION process = {};
    BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                  &process);
    // Only the child may hold the write ends, or the reads never see the end.
    CloseHandle(out_write);
    CloseHandle(err_write);
    if (!started) {
        ADD_FAILURE() << "cannot start " << command << ": error " << GetLastError();
        CloseHandle(out_read);
        CloseHandle(err_read);
        return result;
    }

    // Both pipes are drained at once so a full one cannot stall the child.
    auto drain = [](HANDLE pipe, std::string& into) {
        char buffer[4096];
        DWORD got;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into.append(buffer, got);
    };
    std::thread err_reader(drain, err_read, std::ref(result.err));
    drain(out_read, result.out);
    err_reader.join();
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << command << " did not finish";
        TerminateProcess(process.hProcess, 99);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(out_read);
    CloseHandle(err_read);
    return result;
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

}  // namespace
