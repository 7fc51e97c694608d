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
}  // namespace

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
    HWND created = CreateWindowExA(0, frame_class, title.c_str(), frame_style, CW_USEDEFAULT, CW_USEDEFAULT,
                                   frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                   GetModuleHandleA(nullptr), window.get());
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
