// The host application's window as the runner plays it: a visible top-level
// frame whose client area is one child window, the host rectangle, into which
// the plug-in puts its viewer.
#pragma once

#include "runner/window_size.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

// Why a host rectangle of `size` cannot lie on the screen (the primary
// monitor), or an empty string when it fits. SaveImage copies the viewer from
// the screen: a part off it would be black in every picture.
std::string size_refused_by_screen(const window_size& size);

class host_window {
public:
    // Opens and shows the frame, sized so that the rectangle is `size` and
    // placed so that the rectangle lies on the screen. On failure returns
    // nullptr and one line naming the cause.
    static std::unique_ptr<host_window> open(const window_size& size, const std::string& title, std::string& error);
    // Destroys the frame if it is still there, and with it the rectangle.
    ~host_window();
    host_window(const host_window&) = delete;
    host_window& operator=(const host_window&) = delete;

    HWND rectangle() const { return rectangle_; }
    // True once the frame has been destroyed (the user closed it).
    bool closed() const { return frame_ == nullptr; }
    // Called while the frame is being destroyed, before the rectangle goes.
    void on_closed(std::function<void()> callback) { on_closed_ = std::move(callback); }

private:
    host_window() = default;
    static LRESULT CALLBACK frame_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HWND frame_ = nullptr;
    HWND rectangle_ = nullptr;
    std::function<void()> on_closed_;
};
