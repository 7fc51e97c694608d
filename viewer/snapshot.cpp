// SaveImage: the screen pixels under the container as a 32-bit BMP file.
#include "viewer/snapshot.h"

#include <cstring>

#include "host/action_handlers.h"
#include "viewer/bitmap_file_layout.h"
#include "viewer/screen_update.h"
#include "viewer/viewer_state.h"

namespace {

constexpr std::size_t max_name_length = 255;

// Runs one file call with critical-error boxes off (a drive without a medium
// must not ask the user anything), restoring the mode right after it.
template <class Call>
auto quietly(Call call) {
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    auto result = call();
    SetErrorMode(previous);
    return result;
}

// Opens always, then empties a disk file in place (keeping its attributes).
HANDLE open_snapshot_file(const char* name) {
    if (std::strpbrk(name, "*?")) return INVALID_HANDLE_VALUE;
    HANDLE file = quietly([&] {
        return CreateFileA(name, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    });
    if (file == INVALID_HANDLE_VALUE) return file;
    if (quietly([&] { return GetFileType(file); }) == FILE_TYPE_DISK) {
        quietly([&] { return SetFilePointer(file, 0, nullptr, FILE_BEGIN); });
        quietly([&] { return SetEndOfFile(file); });
    }
    return file;
}

bool write_part(HANDLE file, const void* bytes, DWORD count) {
    static const char nothing = 0;  // a valid address for an empty part
    DWORD written = 0;
    const BOOL ok = quietly([&] { return WriteFile(file, bytes ? bytes : &nothing, count, &written, nullptr); });
    return ok && written == count;  // fewer bytes than asked: the disk is full
}

bool close_snapshot_file(HANDLE file) {
    if (file == INVALID_HANDLE_VALUE) return false;
    // The file ends exactly after the last byte written.
    if (quietly([&] { return GetFileType(file); }) == FILE_TYPE_DISK) quietly([&] { return SetEndOfFile(file); });
    return quietly([&] { return CloseHandle(file); }) != FALSE;
}

// Copies the part of `capture` that lies on the screen into the section at
// its place in the picture; the rest stays black. A display asked for pixels
// beyond its edge may fail the whole copy (Wine's does), which would leave
// even the visible part of the viewer black.
void copy_screen_part(HDC display, HDC memory, const RECT& capture, const BITMAP& section) {
    if (section.bmBits && section.bmHeight > 0)
        std::memset(section.bmBits, 0, static_cast<std::size_t>(section.bmWidthBytes) * section.bmHeight);
    const RECT screen = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                         GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                         GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    const RECT picture = {capture.left, capture.top, capture.left + section.bmWidth, capture.top + section.bmHeight};
    RECT visible = {};
    if (!IntersectRect(&visible, &picture, &screen)) return;
    BitBlt(memory, visible.left - capture.left, visible.top - capture.top, visible.right - visible.left,
           visible.bottom - visible.top, display, visible.left, visible.top, SRCCOPY);
}

}  // namespace

bool write_snapshot(const RECT& capture, const char* name, std::size_t name_length) {
    if (name_length == 0) return false;
    // A longer name is refused like one with a wildcard: cut short, it would
    // empty and overwrite a file nobody named.
    const bool name_fits = name_length <= max_name_length;
    char used_name[max_name_length + 1] = {};
    if (name_fits) std::memcpy(used_name, name, name_length);

    const LONG width = capture.right - capture.left;
    const LONG height = capture.bottom - capture.top;
    const bool empty = width <= 0 || height <= 0;
    std::uint32_t pixel_bytes = 0;
    if (!empty && !bitmap_pixel_bytes(width, height, pixel_bytes)) return false;

    HDC display = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    HDC memory = CreateCompatibleDC(display);
    unsigned char info_header[bitmap_info_header_size];
    fill_bitmap_info_header(info_header, width, height);
    BITMAPINFO info = {};
    std::memcpy(&info.bmiHeader, info_header, sizeof info_header);

    void* pixels = nullptr;
    HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    bool result = false;
    if (section || empty) {
        // Graphics results are not examined: whatever the section holds is written.
        SelectObject(memory, section);
        BITMAP description = {};
        if (section) GetObjectA(section, sizeof description, &description);
        copy_screen_part(display, memory, capture, description);

        const DWORD row_bytes = static_cast<DWORD>(description.bmWidthBytes) * description.bmHeight;
        unsigned char file_header[bitmap_file_header_size];
        fill_bitmap_file_header(file_header, row_bytes);

        HANDLE file = name_fits ? open_snapshot_file(used_name) : INVALID_HANDLE_VALUE;
        // A failed write does not stop the later ones or the close.
        bool ok = file != INVALID_HANDLE_VALUE;
        ok = write_part(file, file_header, sizeof file_header) && ok;
        ok = write_part(file, info_header, sizeof info_header) && ok;
        ok = write_part(file, description.bmBits, row_bytes) && ok;
        ok = close_snapshot_file(file) && ok;
        result = ok;
    }
    // A section that could not be made for a non-empty rectangle leaves any
    // existing file untouched: there is no picture to write.

    // The section stays selected until its context is gone; deleting the
    // context first releases it, so no old object needs to be selected back.
    DeleteDC(display);
    DeleteDC(memory);
    if (section) DeleteObject(section);
    return result;
}

BSTR WINAPI KP_QUELTO3D_SAVEIMAGE(const char* parameter) {
    const char* text = parameter ? parameter : "";
    const char* bar = std::strchr(text, '|');
    const std::size_t length = bar ? static_cast<std::size_t>(bar - text) : std::strlen(text);

    // A control that has only invalidated its window would otherwise be saved
    // as its previous frame.
    bring_to_screen(container_handle);
    RECT capture = {};
    if (!GetWindowRect(container_handle, &capture)) capture = RECT{};
    write_snapshot(capture, text, length);  // result dropped: SaveImage reports nothing
    return nullptr;
}
