// The control's own child window: paints the rendered frame and turns mouse
// input into view changes.
#include <windowsx.h>

#include "control/com/viewer_control.h"

const char control_window_class[] = "Quelto3DViewerWindow";

namespace {

viewer_control* control_of(HWND window) {
    return reinterpret_cast<viewer_control*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK control_window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return DefWindowProcA(window, message, wparam, lparam);
    }
    viewer_control* control = control_of(window);
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
        case WM_MOUSEWHEEL:
            control->wheel(GET_WHEEL_DELTA_WPARAM(wparam));
            return 0;
        case WM_TIMER:
            control->inertia_tick();
            return 0;
        case WM_NCDESTROY:
            control->window_destroyed();
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// Registration and unregistration of the class happen under this lock, so that
// the last control going away on one thread cannot unregister the class
// between another thread's registration and its CreateWindow.
SRWLOCK class_lock = SRWLOCK_INIT;
LONG live_controls = 0;

bool register_class_locked(HINSTANCE instance) {
    WNDCLASSA existing;
    if (GetClassInfoA(instance, control_window_class, &existing)) {
        if (existing.lpfnWndProc == control_window_procedure) return true;
        // Left by an earlier load of the DLL at the same address (a host that
        // unloaded it with a control still alive): its procedure points into
        // code that is gone. A class that still has windows cannot go and
        // stays in use.
        if (!UnregisterClassA(control_window_class, instance)) return true;
    }
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = control_window_procedure;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.lpszClassName = control_window_class;
    return RegisterClassA(&wc) != 0;
}

}  // namespace

bool register_control_window_class(HINSTANCE instance) {
    AcquireSRWLockExclusive(&class_lock);
    const bool registered = register_class_locked(instance);
    ReleaseSRWLockExclusive(&class_lock);
    return registered;
}

void control_created() { InterlockedIncrement(&live_controls); }

// Windows keeps a DLL's window classes after FreeLibrary; one left behind
// would point its window procedure at whatever is mapped there next. The
// class goes with the last control (whose window is gone by then), not in
// DllMain: that runs under the loader lock, where no user32 call belongs.
void control_destroyed(HINSTANCE instance) {
    if (InterlockedDecrement(&live_controls) != 0) return;
    AcquireSRWLockExclusive(&class_lock);
    if (InterlockedCompareExchange(&live_controls, 0, 0) == 0) UnregisterClassA(control_window_class, instance);
    ReleaseSRWLockExclusive(&class_lock);
}
