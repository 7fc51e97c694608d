// The frame the renderer draws into and WM_PAINT copies to the window: a
// 32-bit top-down DIB section selected into a memory DC. It owns the bitmap,
// the DC and the object the bitmap was selected in for, and releases them in
// one place.
#pragma once

#include <windows.h>

#include <cstdint>

#include "control/engine/render/renderer.h"

class drawing_buffer {
public:
    drawing_buffer() = default;
    ~drawing_buffer() { release(); }
    drawing_buffer(const drawing_buffer&) = delete;
    drawing_buffer& operator=(const drawing_buffer&) = delete;

    // Makes the buffer width x height, unless it is that size already (its
    // pixels then stay). Empty when a side is not positive or GDI has no
    // memory for the picture.
    void resize(int width, int height);

    bool empty() const { return dc_ == nullptr; }
    HDC dc() const { return dc_; }
    int width() const { return width_; }
    int height() const { return height_; }
    engine::frame frame() const { return {width_, height_, width_, pixels_}; }

private:
    void release();

    HBITMAP bitmap_ = nullptr;
    HDC dc_ = nullptr;
    HGDIOBJ selected_out_ = nullptr;   // the DC's own bitmap, selected back before the DC goes
    std::uint32_t* pixels_ = nullptr;  // the DIB section's bits, freed with bitmap_
    int width_ = 0, height_ = 0;
};
