// The control's own child window: its class, which lives as long as some
// control does; painting the control's frame with the message line over it;
// mouse drags, the wheel and the turning that goes on after a drag; and the
// keys that steer the view while the window has the focus.
#include "control/com/control_window.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "control/com/viewer_control.h"

namespace {

constexpr char control_window_class[] = "Quelto3DViewerWindow";
constexpr UINT_PTR inertia_timer = 1;
constexpr UINT inertia_interval_ms = 16;

}  // namespace

LRESULT CALLBACK control_window::procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcA(window, message, wparam, lparam);
    }
    auto* control = reinterpret_cast<control_window*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!control) return DefWindowProcA(window, message, wparam, lparam);
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            control->paint(dc);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;  // the frame covers every pixel
        case WM_SIZE:
            InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
            SetFocus(window);
            control->mouse_down(message == WM_LBUTTONDOWN ? 0 : 1, GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam));
            return 0;
        case WM_MOUSEMOVE:
            control->mouse_move(GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam));
            return 0;
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
            control->mouse_up(message == WM_LBUTTONUP ? 0 : 1);
            return 0;
        case WM_CAPTURECHANGED:
            // Another window took the mouse in mid-drag (a menu, a window
            // that popped up): the drag ends there, or plain moves would go
            // on steering the view until the next click.
            if (reinterpret_cast<HWND>(lparam) != window) control->drag_lost();
            return 0;
        case WM_MOUSEWHEEL:
            control->wheel(GET_WHEEL_DELTA_WPARAM(wparam));
            return 0;
        case WM_TIMER:
            control->inertia_tick();
            return 0;
        case WM_GETDLGCODE:
            // A dialog would otherwise move the focus on the arrow keys; tab,
            // enter and escape stay the dialog's.
            return DefWindowProcA(window, message, wparam, lparam) | DLGC_WANTARROWS;
        case WM_KEYDOWN:
            if (control->key_down(static_cast<UINT>(wparam))) return 0;
            break;  // not ours: the default handling, as if the control had none
        case WM_NCDESTROY:
            control->window_destroyed();
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

namespace {

// Registration and unregistration of the class happen under this lock, so that
// the last control going away on one thread cannot unregister the class
// between another thread's registration and its CreateWindow.
SRWLOCK class_lock = SRWLOCK_INIT;
LONG live_controls = 0;

bool register_class_locked(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSA existing;
    if (GetClassInfoA(instance, control_window_class, &existing)) {
        if (existing.lpfnWndProc == procedure) return true;
        // Left by an earlier load of the DLL at the same address (a host that
        // unloaded it with a control still alive): its procedure points into
        // code that is gone. A class that still has windows cannot go and
        // stays in use.
        if (!UnregisterClassA(control_window_class, instance)) return true;
    }
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = control_window_class;
    return RegisterClassA(&wc) != 0;
}

bool register_control_window_class(HINSTANCE instance, WNDPROC procedure) {
    AcquireSRWLockExclusive(&class_lock);
    const bool registered = register_class_locked(instance, procedure);
    ReleaseSRWLockExclusive(&class_lock);
    return registered;
}

}  // namespace

live_control::live_control() {
    InterlockedIncrement(&control_module_references);
    InterlockedIncrement(&live_controls);
}

// Windows keeps a DLL's window classes after FreeLibrary; one left behind
// would point its window procedure at whatever is mapped there next. The
// class goes with the last control (whose window is gone by then), not in
// DllMain: that runs under the loader lock, where no user32 call belongs.
live_control::~live_control() {
    if (InterlockedDecrement(&live_controls) == 0) {
        AcquireSRWLockExclusive(&class_lock);
        if (InterlockedCompareExchange(&live_controls, 0, 0) == 0)
            UnregisterClassA(control_window_class, control_instance());
        ReleaseSRWLockExclusive(&class_lock);
    }
    InterlockedDecrement(&control_module_references);
}

bool control_window::create(HWND parent, const RECT& place) {
    if (window_) return true;
    if (!register_control_window_class(control_instance(), procedure)) return false;
    window_ = CreateWindowExA(0, control_window_class, "", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, place.left,
                              place.top, place.right - place.left, place.bottom - place.top, parent, nullptr,
                              control_instance(), this);
    return window_ != nullptr;
}

void control_window::destroy() {
    if (!window_) return;
    HWND window = window_;
    window_ = nullptr;
    DestroyWindow(window);
}

void control_window::show(bool visible) {
    if (window_) ShowWindow(window_, visible ? SW_SHOW : SW_HIDE);
}

void control_window::place(const RECT& position) {
    if (window_)
        SetWindowPos(window_, nullptr, position.left, position.top, position.right - position.left,
                     position.bottom - position.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void control_window::repaint() {
    if (!window_) return;
    InvalidateRect(window_, nullptr, FALSE);
}

void control_window::draw_now() {
    if (!window_) return;
    RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
}

void control_window::paint(HDC dc) {
    RECT client = {};
    GetClientRect(window_, &client);
    buffer_.resize(client.right, client.bottom);
    if (buffer_.empty()) return;
    engine::frame target = buffer_.frame();
    frames_.draw_frame(target);
    GdiFlush();
    const std::string& line_text = shown_line(state_);
    if (!line_text.empty()) {
        // The message over the picture, in a colour that stands out from the
        // background, wrapped at blanks (a word wider than the view broken
        // where it must) over as many lines as it needs: at most 6, and at
        // most half the view's height, the last cut short with "...".
        const COLORREF background = state_.settings.background;
        const int brightness = GetRValue(background) * 3 + GetGValue(background) * 6 + GetBValue(background);
        HDC buffer = buffer_.dc();
        SetBkMode(buffer, TRANSPARENT);
        SetTextColor(buffer, brightness > 1280 ? RGB(0, 0, 0) : RGB(255, 255, 255));
        HGDIOBJ old_font = SelectObject(buffer, GetStockObject(DEFAULT_GUI_FONT));
        TEXTMETRICA metrics = {};
        GetTextMetricsA(buffer, &metrics);
        const int line_height = std::max(1, static_cast<int>(metrics.tmHeight + metrics.tmExternalLeading));
        constexpr int margin = 8, most_lines = 6;
        const int width = buffer_.width() - 2 * margin;
        const int room = std::max(1, (buffer_.height() - 2 * margin) / line_height / 2);
        const auto measure = [buffer](const std::string& piece) {
            SIZE size = {};
            GetTextExtentPoint32A(buffer, piece.c_str(), static_cast<int>(piece.size()), &size);
            return static_cast<int>(size.cx);
        };
        const std::vector<std::string> lines =
            wrapped_lines(line_text, std::max(width, 1), std::min(most_lines, room), measure);
        int top = margin;
        for (const std::string& text : lines) {
            RECT line = {margin, top, buffer_.width() - margin, top + line_height};
            DrawTextA(buffer, text.c_str(), static_cast<int>(text.size()), &line,
                      DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
            top += line_height;
        }
        SelectObject(buffer, old_font);
    }
    BitBlt(dc, 0, 0, buffer_.width(), buffer_.height(), buffer_.dc(), 0, 0, SRCCOPY);
}

void control_window::mouse_down(int button, int x, int y) {
    // Any click stops the turning left over from a drag.
    stop_spinning();
    drag_mode_ = button == 0 ? state_.left_button : state_.right_button;
    drag_button_ = button;
    last_ = {x, y};
    last_move_time_ = GetTickCount();
    spin_dx_ = spin_dy_ = 0;
    SetCapture(window_);
}

void control_window::mouse_move(int x, int y) {
    if (drag_mode_ == mouse_mode::none) return;
    const float dx = float(x - last_.x), dy = float(y - last_.y);
    last_ = {x, y};
    if (dx == 0 && dy == 0) return;
    switch (drag_mode_) {
        case mouse_mode::rotate:
            drag_rotate(state_.view, dx, dy);
            spin_dx_ = dx;
            spin_dy_ = dy;
            last_move_time_ = GetTickCount();
            break;
        case mouse_mode::zoom: drag_zoom(state_.view, dy, buffer_.height()); break;
        case mouse_mode::move: engine::pan(state_.view, dx, dy, buffer_.width(), buffer_.height()); break;
        case mouse_mode::none: break;
    }
    repaint();
}

void control_window::mouse_up(int button) {
    if (drag_mode_ == mouse_mode::none || button != drag_button_) return;
    const bool rotating = drag_mode_ == mouse_mode::rotate;
    drag_mode_ = mouse_mode::none;
    ReleaseCapture();
    // Keeps turning only when the drag was still moving as it ended.
    if (rotating && state_.inertial_rotation && GetTickCount() - last_move_time_ < 100 &&
        (spin_dx_ != 0 || spin_dy_ != 0)) {
        spinning_ = SetTimer(window_, inertia_timer, inertia_interval_ms, nullptr) != 0;
    }
}

void control_window::drag_lost() { drag_mode_ = mouse_mode::none; }

void control_window::wheel(int delta) {
    drag_zoom(state_.view, float(delta) / 4, std::max(buffer_.height(), 1));
    repaint();
}

void control_window::stop_spinning() {
    if (!spinning_) return;
    KillTimer(window_, inertia_timer);
    spinning_ = false;
}

void control_window::inertia_tick() {
    spin_dx_ *= 0.95f;
    spin_dy_ *= 0.95f;
    if (!state_.inertial_rotation || (std::fabs(spin_dx_) < 0.05f && std::fabs(spin_dy_) < 0.05f)) {
        KillTimer(window_, inertia_timer);
        spinning_ = false;
        return;
    }
    drag_rotate(state_.view, spin_dx_, spin_dy_);
    repaint();
}

bool control_window::key_down(UINT key) {
    view_key steer;
    switch (key) {
        case VK_LEFT: steer = view_key::left; break;
        case VK_RIGHT: steer = view_key::right; break;
        case VK_UP: steer = view_key::up; break;
        case VK_DOWN: steer = view_key::down; break;
        // The '+' and '-' keys of any layout and those of the numeric keypad.
        case VK_OEM_PLUS:
        case VK_ADD: steer = view_key::zoom_in; break;
        case VK_OEM_MINUS:
        case VK_SUBTRACT: steer = view_key::zoom_out; break;
        case VK_HOME: steer = view_key::home; break;
        default: return false;
    }
    // With Ctrl or Alt held the key is meant for the host (a shortcut).
    if (GetKeyState(VK_CONTROL) < 0 || GetKeyState(VK_MENU) < 0) return false;
    // A key steers the view from where it stands: a turn left over from a
    // drag would carry it on.
    stop_spinning();
    steer_by_key(state_, steer);
    repaint();
    return true;
}

void control_window::window_destroyed() {
    spinning_ = false;
    drag_mode_ = mouse_mode::none;
    window_ = nullptr;
}
