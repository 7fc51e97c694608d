#include "tests/viewer_session.h"

#include <cstdio>
#include <cstdlib>
#include <deque>

#include "host/action_handlers.h"
#include "tests/fake_viewer_control.h"

namespace viewer_session {
namespace {

constexpr UINT run_next_step = WM_APP + 1;
constexpr UINT_PTR step_timer = 1;

std::deque<step> pending;
HWND step_window;

void schedule_next() {
    if (pending.empty()) return;
    if (pending.front().delay_ms > 0) SetTimer(step_window, step_timer, pending.front().delay_ms, nullptr);
    else PostMessageA(step_window, run_next_step, 0, 0);
}

LRESULT CALLBACK step_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_TIMER && wparam == step_timer) KillTimer(window, step_timer);
    if (message == run_next_step || (message == WM_TIMER && wparam == step_timer)) {
        if (pending.empty()) return 0;
        step next = std::move(pending.front());
        pending.pop_front();
        next.action();
        schedule_next();
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

LRESULT CALLBACK plain_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(window, message, wparam, lparam);
}

void register_classes() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    WNDCLASSA plain = {};
    plain.lpfnWndProc = plain_window_procedure;
    plain.hInstance = GetModuleHandleA(nullptr);
    plain.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    plain.lpszClassName = "QueltoTestHost";
    RegisterClassA(&plain);
    WNDCLASSA steps = {};
    steps.lpfnWndProc = step_window_procedure;
    steps.hInstance = GetModuleHandleA(nullptr);
    steps.lpszClassName = "QueltoTestSteps";
    RegisterClassA(&steps);
}

DWORD WINAPI watchdog_thread(void* parameter) {
    auto* self = static_cast<std::pair<HANDLE, std::pair<int, const char*>>*>(parameter);
    if (WaitForSingleObject(self->first, self->second.first * 1000) == WAIT_TIMEOUT) {
        std::fprintf(stderr, "watchdog: %s did not finish within %d s\n", self->second.second, self->second.first);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    delete self;
    return 0;
}

}  // namespace

host_window create_host(int width, int height, int x, int y) {
    register_classes();
    host_window host;
    RECT frame = {0, 0, width + 20, height + 20};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    host.frame = CreateWindowExA(0, "QueltoTestHost", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, x,
                                 y, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    host.rectangle = CreateWindowExA(0, "QueltoTestHost", "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 10, 10, width,
                                     height, host.frame, nullptr, GetModuleHandleA(nullptr), nullptr);
    pump_messages(50);
    return host;
}

HWND create_rectangle(HWND frame, int width, int height) {
    register_classes();
    HWND rectangle = CreateWindowExA(0, "QueltoTestHost", "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 10, 10, width,
                                     height, frame, nullptr, GetModuleHandleA(nullptr), nullptr);
    pump_messages(10);
    return rectangle;
}

void destroy_host(host_window& host) {
    if (IsWindow(host.frame)) DestroyWindow(host.frame);
    host = {};
    pump_messages(10);
}

std::string placement(HWND window, HWND relative_to) {
    RECT rect = {};
    if (!GetWindowRect(window, &rect)) return "no window";
    MapWindowPoints(HWND_DESKTOP, relative_to, reinterpret_cast<POINT*>(&rect), 2);
    return std::to_string(rect.left) + "," + std::to_string(rect.top) + " " + std::to_string(rect.right - rect.left) +
           "x" + std::to_string(rect.bottom - rect.top);
}

std::string handle_text(HWND window) {
    return std::to_string(static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)));
}

int run_in_viewer(const std::string& init_parameter, std::vector<step> steps) {
    register_classes();
    if (!step_window)
        step_window = CreateWindowExA(0, "QueltoTestSteps", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
    pending.assign(steps.begin(), steps.end());
    schedule_next();
    KP_QUELTO3D_INIT(init_parameter.c_str());
    const int left = static_cast<int>(pending.size());
    pending.clear();
    KillTimer(step_window, step_timer);
    return left;
}

void pump_messages(int ms) {
    const DWORD until = GetTickCount() + ms;
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(1);
    } while (static_cast<LONG>(until - GetTickCount()) > 0);
}

watchdog::watchdog(int seconds, const char* what) {
    disarmed_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto* parameter = new std::pair<HANDLE, std::pair<int, const char*>>(disarmed_, {seconds, what});
    thread_ = CreateThread(nullptr, 0, watchdog_thread, parameter, 0, nullptr);
}

watchdog::~watchdog() {
    SetEvent(disarmed_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(disarmed_);
}

void register_fake_control() {
    static DWORD cookie = 0;
    if (cookie) return;
    OleInitialize(nullptr);
    cookie = fake_control::register_class();
    if (!cookie) {
        std::fprintf(stderr, "could not register the fake viewer control\n");
        std::exit(2);
    }
}

}  // namespace viewer_session
