#include "control/com/drawing_buffer.h"

void drawing_buffer::resize(int width, int height) {
    if (!empty() && width == width_ && height == height_) return;
    release();
    if (width <= 0 || height <= 0) return;

    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down, as the renderer writes rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    dc_ = bitmap_ ? CreateCompatibleDC(nullptr) : nullptr;
    if (!dc_) {  // no memory for the picture: the window stays as it is
        release();
        return;
    }
    selected_out_ = SelectObject(dc_, bitmap_);
    pixels_ = static_cast<std::uint32_t*>(bits);
    width_ = width;
    height_ = height;
}

void drawing_buffer::release() {
    if (dc_) {
        SelectObject(dc_, selected_out_);
        DeleteDC(dc_);
    }
    if (bitmap_) DeleteObject(bitmap_);
    bitmap_ = nullptr;
    dc_ = nullptr;
    selected_out_ = nullptr;
    pixels_ = nullptr;
    width_ = height_ = 0;
}
