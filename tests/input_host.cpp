// The host side of the input tests: the real viewer control, through the
// plug-in, in a visible window that a driver outside Wine (input_test.py)
// steers with real pointer and key events. The driver asks for pictures and
// modes through files, so that each comes exactly between two of its events.
//
//   input_host FOLDER MODEL
//
// Once MODEL is shown, FOLDER receives `ready`: "left top width height", the
// control's window on the screen. Then the host runs `request-1`,
// `request-2`, ... in turn as they appear, each one action line (an action
// name, one blank, the parameter), and answers each with `answer-N`: "ok" or
// "refused", and whether the control's window has the keyboard focus (for the
// driver's messages; the tests judge by the pictures). End, as a request,
// ends the viewer and the host. `Memory` is answered with the process's
// private bytes, now and at their peak ("ok peak=N now=N").
//
//   QUELTO_INPUT_HOST_SECONDS  how long the host may live (default 900)
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/action_handlers.h"
#include "tests/scratch_files.h"
#include "tests/viewer_session.h"
#include "viewer/viewer_state.h"

using namespace viewer_session;

namespace {

std::string folder;
int next_request = 1;
bool busy = false;
HWND control_window = nullptr;

// A Unix path as Wine's Z: drive shows it; other paths as they are.
std::string windows_path(std::string path) {
    if (path.empty() || path[0] != '/') return path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

// Written under another name and renamed, so the driver never reads half.
void publish(const std::string& name, const std::string& text) {
    const std::string whole = folder + name, partial = whole + ".partial";
    scratch_files::write(partial, text);
    MoveFileExA(partial.c_str(), whole.c_str(), MOVEFILE_REPLACE_EXISTING);
}

struct named_action {
    const char* name;
    BSTR(WINAPI* run)(const char*);
};
constexpr named_action actions[] = {
    {"SaveImage", KP_QUELTO3D_SAVEIMAGE},
    {"SelectRotate", KP_QUELTO3D_SELECTROTATE},
    {"SelectMove", KP_QUELTO3D_SELECTMOVE},
    {"InertialRotation", KP_QUELTO3D_INERTIALROTATION},
    {"End", KP_QUELTO3D_END},
};

bool run_line(const std::string& line) {
    const std::size_t blank = line.find(' ');
    const std::string name = line.substr(0, blank);
    const std::string parameter = blank == std::string::npos ? "" : line.substr(blank + 1);
    for (const named_action& action : actions) {
        if (name != action.name) continue;
        action.run(parameter.empty() ? nullptr : parameter.c_str());
        return true;
    }
    return false;
}

// Runs the next request once its file is there. The actions may let
// messages through (SaveImage waits for painting), which can bring this
// timer back while one runs.
void CALLBACK poll_requests(HWND, UINT, UINT_PTR, DWORD) {
    if (busy) return;
    const std::string request = folder + "request-" + std::to_string(next_request);
    if (!scratch_files::exists(request)) return;
    busy = true;
    std::string line = scratch_files::read_text(request);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    const int number = next_request++;
    if (line == "Memory") {
        PROCESS_MEMORY_COUNTERS_EX counters = {};
        counters.cb = sizeof counters;
        GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
        publish("answer-" + std::to_string(number), "ok peak=" + std::to_string(counters.PeakPagefileUsage) +
                                                        " now=" + std::to_string(counters.PrivateUsage) + "\n");
        busy = false;
        return;
    }
    const bool ran = run_line(line);
    publish("answer-" + std::to_string(number), std::string(ran ? "ok" : "refused") +
                                                    " focus=" + (GetFocus() == control_window ? "1" : "0") + "\n");
    busy = false;
}

HWND window_of(IDispatch* control) {
    IOleWindow* window = nullptr;
    HWND handle = nullptr;
    if (control && SUCCEEDED(control->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&window)))) {
        window->GetWindow(&handle);
        window->Release();
    }
    return handle;
}

// The real control, registered here: other test programs in the same Wine
// prefix point its ProgID at a fake.
bool register_real_control() {
    const char* path = std::getenv("QUELTO_CONTROL_DLL");
    HMODULE module = LoadLibraryA(windows_path(path ? path : "").c_str());
    auto register_server = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(module ? GetProcAddress(module, "DllRegisterServer") : nullptr));
    return register_server && SUCCEEDED(register_server()) && SUCCEEDED(OleInitialize(nullptr));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: input_host FOLDER MODEL\n");
        return 2;
    }
    folder = windows_path(argv[1]);
    if (folder.back() != '\\') folder += '\\';
    const std::string model = windows_path(argv[2]);
    if (!register_real_control()) {
        std::fprintf(stderr, "input_host: cannot load and register the control (QUELTO_CONTROL_DLL)\n");
        return 2;
    }
    // A driver that dies leaves no host behind for long.
    const char* seconds = std::getenv("QUELTO_INPUT_HOST_SECONDS");
    watchdog guard(seconds && std::atoi(seconds) > 0 ? std::atoi(seconds) : 900, "input_host");

    host_window host = create_host(320, 240);
    const int not_run = run_in_viewer(
        handle_text(host.rectangle),
        {{[&] {
             // A plain background the model stands out from, and no grid
             // lines across it.
             KP_QUELTO3D_SETBKCOLOR("40,60,90");
             KP_QUELTO3D_GRIDMODE("0");
             KP_QUELTO3D_SHOW(model.c_str());
         }},
         {[] {
              control_window = window_of(control_object);
              RECT place = {};
              GetWindowRect(control_window, &place);
              publish("ready", std::to_string(place.left) + " " + std::to_string(place.top) + " " +
                                   std::to_string(place.right - place.left) + " " +
                                   std::to_string(place.bottom - place.top) + "\n");
              SetTimer(nullptr, 0, 20, poll_requests);
          },
          300}});
    destroy_host(host);
    return not_run == 0 && control_window ? 0 : 1;
}
