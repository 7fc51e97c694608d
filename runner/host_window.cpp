#include "runner/host_window.h"

#include "runner/plugin_host.h"

namespace {
constexpr char frame_class[] = "QueltoRunnerFrame";
constexpr char rectangle_class[] = "QueltoRunnerRectangle";
// Fixed size: the rectangle is what --size says, and the viewer does not
// follow a changed rectangle until a Resize action.
constexpr DWORD frame_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// Clipping keeps the host's background from painting over the viewer, whose
// pixels SaveImage reads from the screen.
constexpr DWORD rectangle_style = WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;

bool register_class(const char* name, WNDPROC procedure, HBRUSH background) {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = background;  // stock brushes: never deleted
    window_class.lpszClassName = name;
    return RegisterClassExA(&window_class) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}
RECT primary_screen() { return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

// How far to move `inner` along one axis so that it lies within `low`..`high`
// (its near edge wins when it cannot).
LONG shift_into(LONG inner_low, LONG inner_high, LONG low, LONG high) {
    LONG shift = 0;
    if (inner_high > high) shift = high - inner_high;
    if (inner_low + shift < low) shift = low - inner_low;
    return shift;
}

// Moves the frame so that all of it lies in the work area where it fits
// there, and in any case so that its client area, the host rectangle, lies
// on the screen: where the window manager put it may hang over an edge.
void place_on_screen(HWND frame) {
    RECT outer = {}, client = {};
    GetWindowRect(frame, &outer);
    GetClientRect(frame, &client);
    MapWindowPoints(frame, nullptr, reinterpret_cast<POINT*>(&client), 2);
    RECT work = primary_screen();
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    const bool frame_fits = outer.right - outer.left <= work.right - work.left &&
                            outer.bottom - outer.top <= work.bottom - work.top;
    const RECT area = frame_fits ? work : primary_screen();
    const RECT& kept = frame_fits ? outer : client;
    const LONG dx = shift_into(kept.left, kept.right, area.left, area.right);
    const LONG dy = shift_into(kept.top, kept.bottom, area.top, area.bottom);
    if (dx || dy)
        SetWindowPos(frame, nullptr, outer.left + dx, outer.top + dy, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Wine answers "invalid window handle" for a while when a program starts as
// the desktop of the previous one is closing or before a new prefix's desktop
// is up; a later attempt finds the desktop.
HWND create_frame(const RECT& frame, const std::string& title, host_window* owner) {
    for (int attempt = 0;; ++attempt) {
        HWND created = CreateWindowExA(0, frame_class, title.c_str(), frame_style, CW_USEDEFAULT, CW_USEDEFAULT,
                                       frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                       GetModuleHandleA(nullptr), owner);
        if (created || GetLastError() != ERROR_INVALID_WINDOW_HANDLE || attempt == 40) return created;
        Sleep(250);
    }
}
}  // namespace

std::string size_refused_by_screen(const window_size& size) {
    const RECT screen = primary_screen();
    if (size.width <= screen.right && size.height <= screen.bottom) return {};
    return "--size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
           " does not fit on the screen, which is " + std::to_string(screen.right) + "x" +
           std::to_string(screen.bottom) +
           " pixels: SaveImage copies the viewer from the screen, so give a size that fits (its title bar "
           "and borders need a little more)";
}

std::unique_ptr<host_window> host_window::open(const window_size& size, const std::string& title,
                                               std::string& error) {
    if (!register_class(frame_class, frame_procedure, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1)) ||
        !register_class(rectangle_class, DefWindowProcA, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)))) {
        error = "cannot register the host window's classes: " + windows_error_text(GetLastError());
        return nullptr;
    }
    RECT frame = {0, 0, size.width, size.height};
    AdjustWindowRectEx(&frame, frame_style, FALSE, 0);

    std::unique_ptr<host_window> window(new host_window);
    // The frame procedure finds its object through the creation data.
    HWND created = create_frame(frame, title, window.get());
    if (!created) {
        error = "cannot open the host window: " + windows_error_text(GetLastError());
        return nullptr;
    }
    window->rectangle_ = CreateWindowExA(0, rectangle_class, "", rectangle_style, 0, 0, size.width, size.height,
                                         created, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!window->rectangle_) {
        error = "cannot open the host rectangle: " + windows_error_text(GetLastError());
        return nullptr;  // the destructor takes the frame down
    }
    place_on_screen(created);
    ShowWindow(created, SW_SHOWNORMAL);
    UpdateWindow(created);
    return window;
}

host_window::~host_window() {
    on_closed_ = nullptr;  // whoever listened may be gone already
    if (frame_) DestroyWindow(frame_);
}

LRESULT CALLBACK host_window::frame_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto self = static_cast<host_window*>(reinterpret_cast<CREATESTRUCTA*>(lparam)->lpCreateParams);
        self->frame_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else if (message == WM_DESTROY) {
        if (auto self = reinterpret_cast<host_window*>(GetWindowLongPtrA(window, GWLP_USERDATA))) {
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            self->frame_ = nullptr;
            self->rectangle_ = nullptr;  // goes with its parent
            if (self->on_closed_) self->on_closed_();
        }
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
