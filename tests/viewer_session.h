// Test harness for the viewer in a real window: a host window with a child
// rectangle, steps run nested inside Init's container loop one posted message
// at a time (as an author's script runs in the host), and a watchdog that
// turns a hang into a failed test.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace viewer_session {

// A visible top-level window and, inside it, the rectangle the viewer covers.
struct host_window {
    HWND frame = nullptr;
    HWND rectangle = nullptr;
};
host_window create_host(int width, int height, int x = 40, int y = 40);
void destroy_host(host_window& host);

// A fresh rectangle at 10,10 of an existing frame. Destroying a visible
// top-level window takes about 2 s under Wine without a window manager, a
// child takes nothing: test suites keep one frame and make rectangles in it.
HWND create_rectangle(HWND frame, int width, int height);

// A window's rectangle in the client coordinates of `relative_to`, as
// "x,y wxh", so a failure shows both values whole.
std::string placement(HWND window, HWND relative_to);

// The rectangle's handle as the decimal text Init takes.
std::string handle_text(HWND window);

// One step: run `action` after `delay_ms` milliseconds of the viewer's life.
struct step {
    std::function<void()> action;
    int delay_ms = 0;
};

// Posts the first step, then calls KP_QUELTO3D_INIT with `init_parameter`;
// each step runs from a posted message inside the container loop and posts
// the next one. Returns when Init returns. Steps not run by then (because
// the viewer ended early) are counted in the result.
int run_in_viewer(const std::string& init_parameter, std::vector<step> steps);

// Lets the calling thread's messages be handled for `ms` milliseconds.
void pump_messages(int ms);

// Ends the process with a message when not disarmed within `seconds`: a hung
// container loop fails the test program instead of stalling the run.
class watchdog {
public:
    watchdog(int seconds, const char* what);
    ~watchdog();
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;

private:
    HANDLE disarmed_;
    HANDLE thread_;
};

// OLE on this thread and the recording fake control registered under the
// viewer's ProgID, for the lifetime of the test program.
void register_fake_control();

}  // namespace viewer_session
