// The control's own child window: it owns the HWND and the drawing buffer it
// paints from, shows the message line over the frame, and turns mouse drags,
// the wheel, the turning that goes on after a drag and the view keys into
// changes of the view. The frame itself it asks of the control.
#pragma once

#include <windows.h>

#include "control/com/control_state.h"
#include "control/com/drawing_buffer.h"
#include "control/engine/render/renderer.h"

// Counts one live control, for DllCanUnloadNow and for the control window's
// class, which goes with the last control.
class live_control {
public:
    live_control();
    ~live_control();
    live_control(const live_control&) = delete;
    live_control& operator=(const live_control&) = delete;
};

class control_window {
public:
    // What draws the control's view into the window's buffer.
    class frame_source {
    public:
        virtual void draw_frame(engine::frame& target) = 0;

    protected:
        ~frame_source() = default;
    };

    // `state` is the control's: the window steers its view and reads its
    // mouse settings and message line. Both must outlive the window.
    control_window(control_state& state, frame_source& frames) : state_(state), frames_(frames) {}
    ~control_window() { destroy(); }
    control_window(const control_window&) = delete;
    control_window& operator=(const control_window&) = delete;

    // Creates the window, hidden, as a child of `parent`; false when it cannot.
    bool create(HWND parent, const RECT& place);
    void destroy();
    HWND handle() const { return window_; }
    void show(bool visible);
    void place(const RECT& position);
    // A member call's change is drawn before the call returns, so that a host
    // copying the screen right afterwards (a snapshot) sees it, not the frame
    // before. Mouse moves only invalidate: their paints may fold into one.
    void draw_now();

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void repaint();
    void paint(HDC dc);
    void mouse_down(int button, int x, int y);
    void mouse_move(int x, int y);
    void mouse_up(int button);
    void drag_lost();  // the mouse was captured away before the button came up
    void wheel(int delta);
    // A key pressed while the window has the focus; false when it is not one
    // the view answers, so that it gets the default handling.
    bool key_down(UINT key);
    void stop_spinning();
    void inertia_tick();
    void window_destroyed();

    control_state& state_;
    frame_source& frames_;
    HWND window_ = nullptr;
    drawing_buffer buffer_;  // the frame the renderer draws into, shown by WM_PAINT

    // Dragging and the turning that goes on after a rotate drag.
    mouse_mode drag_mode_ = mouse_mode::none;
    int drag_button_ = 0;
    POINT last_ = {};
    DWORD last_move_time_ = 0;
    float spin_dx_ = 0, spin_dy_ = 0;
    bool spinning_ = false;
};
