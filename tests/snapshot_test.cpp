// SaveImage and the snapshot writer: the file's exact layout, its pixels
// against an independent screen capture, the name rules, and the cases that
// must leave files alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/action_handlers.h"
#include "tests/fake_viewer_control.h"
#include "tests/process_memory.h"
#include "tests/scratch_files.h"
#include "tests/viewer_session.h"
#include "viewer/bitmap_file_layout.h"
#include "viewer/snapshot.h"
#include "viewer/viewer_state.h"

using namespace viewer_session;

namespace {

const auto read_file = scratch_files::read_bytes;
const auto write_file = scratch_files::write;
using scratch_files::exists;
std::uint32_t u32(const std::vector<unsigned char>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::string scratch(const std::string& name) {
    static const std::string folder = scratch_files::folder("snapshot");
    return folder + name;
}

// ---- Layout ------------------------------------------------------------------

TEST(BitmapLayout, HeadersOf300By200) {
    unsigned char file_header[14], info_header[40];
    std::uint32_t pixels = 0;
    ASSERT_TRUE(bitmap_pixel_bytes(300, 200, pixels));
    EXPECT_EQ(pixels, 240000u);
    fill_bitmap_file_header(file_header, pixels);
    fill_bitmap_info_header(info_header, 300, 200);
    const unsigned char expected_file[14] = {0x42, 0x4D, 0xB6, 0xA9, 0x03, 0x00, 0x00,
                                             0x00, 0x00, 0x00, 0x36, 0x00, 0x00, 0x00};
    unsigned char expected_info[40] = {0x28, 0, 0, 0, 0x2C, 0x01, 0, 0, 0xC8, 0, 0, 0, 0x01, 0, 0x20, 0};
    EXPECT_EQ(0, memcmp(file_header, expected_file, 14));
    EXPECT_EQ(0, memcmp(info_header, expected_info, 40));
}

TEST(BitmapLayout, PixelCountsThatCannotBeDescribedAreRefused) {
    std::uint32_t bytes = 0;
    EXPECT_TRUE(bitmap_pixel_bytes(0, 0, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(bitmap_pixel_bytes(32768, 32767, bytes));
    EXPECT_FALSE(bitmap_pixel_bytes(32768, 32768, bytes)) << "4 GiB of pixels";
    EXPECT_FALSE(bitmap_pixel_bytes(100000, 100000, bytes));
    EXPECT_FALSE(bitmap_pixel_bytes(-1, 10, bytes));
}

// ---- The writer on its own ---------------------------------------------------

class SnapshotFiles : public ::testing::Test {
protected:
    static constexpr int left = 100, top = 100;
    // A window of one known colour, topmost, at a fixed screen place.
    HWND coloured_window(COLORREF colour, RECT place) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.hbrBackground = CreateSolidBrush(colour);
        std::string name = "QueltoColour" + std::to_string(colour);
        wc.lpszClassName = name.c_str();
        RegisterClassA(&wc);
        HWND window = CreateWindowExA(WS_EX_TOPMOST, name.c_str(), "", WS_POPUP | WS_VISIBLE, place.left, place.top,
                                      place.right - place.left, place.bottom - place.top, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        UpdateWindow(window);
        pump_messages(200);  // Wine pushes window surfaces to the screen when idle
        return window;
    }
    bool snap(const RECT& capture, const std::string& name) { return write_snapshot(capture, name.c_str(), name.size()); }
};

TEST_F(SnapshotFiles, PixelsMatchAnIndependentCaptureAndShowWindowsOnTop) {
    HWND green = coloured_window(RGB(0, 200, 0), {left, top, left + 300, top + 200});
    HWND red = coloured_window(RGB(255, 0, 0), {left + 100, top + 50, left + 200, top + 150});
    const std::string name = scratch("pixels.bmp");
    ASSERT_TRUE(snap({left, top, left + 300, top + 200}, name));

    const auto file = read_file(name);
    ASSERT_EQ(file.size(), 240054u);
    EXPECT_EQ(u32(file, 2), 240054u);
    EXPECT_EQ(u32(file, 18), 300u);
    EXPECT_EQ(u32(file, 22), 200u);

    // Independent capture of the same rectangle, bottom-up 32-bit.
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 300, 200, 1, 32, BI_RGB};
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, section);
    BitBlt(memory, 0, 0, 300, 200, screen, left, top, SRCCOPY);
    GdiFlush();
    const auto* expected = static_cast<const unsigned char*>(bits);
    int differing = 0;
    for (int i = 0; i < 300 * 200; ++i)
        for (int channel = 0; channel < 3; ++channel)
            if (file[54 + 4 * i + channel] != expected[4 * i + channel]) ++differing;
    EXPECT_EQ(differing, 0);
    SelectObject(memory, old);
    DeleteObject(section);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    // Bottom row first: row 0 of the file is the screen's row top + 199.
    auto pixel = [&](int x, int y_from_top) { return &file[54 + 4 * ((199 - y_from_top) * 300 + x)]; };
    EXPECT_EQ(pixel(10, 10)[0], 0);
    EXPECT_EQ(pixel(10, 10)[1], 200) << "the green window";
    EXPECT_EQ(pixel(150, 100)[2], 255) << "the red window lying over it";
    EXPECT_EQ(pixel(150, 100)[1], 0);
    DestroyWindow(red);
    DestroyWindow(green);
}

TEST_F(SnapshotFiles, PartOffTheScreenIsBlackAndTheRestIsCopied) {
    const int screen_width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    // 100 pixels over the left edge, 100 over the right.
    const RECT left_part = {-100, top, 200, top + 200};
    const RECT right_part = {screen_width - 200, top, screen_width + 100, top + 200};
    HWND green = coloured_window(RGB(0, 200, 0), left_part);
    HWND blue = coloured_window(RGB(0, 0, 220), right_part);
    for (const RECT& capture : {left_part, right_part}) {
        const bool off_on_the_left = capture.left < 0;
        const std::string name = scratch("off-screen.bmp");
        ASSERT_TRUE(snap(capture, name));
        const auto file = read_file(name);
        ASSERT_EQ(file.size(), 54u + 4 * 300 * 200);
        auto pixel = [&](int x) { return &file[54 + 4 * (100 * 300 + x)]; };
        const unsigned char* off = pixel(off_on_the_left ? 50 : 250);
        const unsigned char* on = pixel(off_on_the_left ? 150 : 50);
        EXPECT_EQ(off[0] | off[1] | off[2], 0) << "off the screen";
        EXPECT_EQ(on[1], off_on_the_left ? 200 : 0) << "on the screen";
        EXPECT_EQ(on[0], off_on_the_left ? 0 : 220) << "on the screen";
    }
    const std::string name = scratch("all-off.bmp");
    ASSERT_TRUE(snap({-400, -400, -100, -200}, name));
    const auto file = read_file(name);
    ASSERT_EQ(file.size(), 54u + 4 * 300 * 200);
    EXPECT_TRUE(std::all_of(file.begin() + 54, file.end(), [](unsigned char b) { return b == 0; }));
    DestroyWindow(blue);
    DestroyWindow(green);
}

TEST_F(SnapshotFiles, OverwritesALargerFileInPlace) {
    const std::string name = scratch("larger.bmp");
    write_file(name, std::string(1 << 20, 'z'));
    ASSERT_TRUE(snap({0, 0, 30, 20}, name));
    EXPECT_EQ(read_file(name).size(), 54u + 4 * 30 * 20);
}

TEST_F(SnapshotFiles, EmptyRectangleWritesTheHeaderOnly) {
    const std::string name = scratch("empty.bmp");
    ASSERT_TRUE(snap({0, 0, 0, 0}, name));
    auto file = read_file(name);
    ASSERT_EQ(file.size(), 54u);
    EXPECT_EQ(u32(file, 2), 54u);
    EXPECT_EQ(u32(file, 18), 0u);
    EXPECT_EQ(u32(file, 22), 0u);
    ASSERT_TRUE(snap({5, 5, 5, 105}, name)) << "0 wide, 100 high";
    file = read_file(name);
    ASSERT_EQ(file.size(), 54u);
    EXPECT_EQ(u32(file, 22), 100u);
}

TEST_F(SnapshotFiles, PicturesThatCannotBeHeldLeaveFilesUntouched) {
    const std::string name = scratch("kept.bmp");
    write_file(name, "precious");
    EXPECT_FALSE(snap({0, 0, 100000, 100000}, name)) << "more than 4 GiB of pixels";
    EXPECT_FALSE(snap({0, 0, 30000, 30000}, name)) << "3.6 GB: no DIB section in a 32-bit process";
    EXPECT_EQ(read_file(name).size(), 8u);
    EXPECT_FALSE(exists(scratch("never.bmp") ));
    EXPECT_FALSE(snap({0, 0, 30000, 30000}, scratch("never.bmp")));
    EXPECT_FALSE(exists(scratch("never.bmp")));
}

TEST_F(SnapshotFiles, NamesThatCannotBeOpenedFailQuietly) {
    EXPECT_FALSE(snap({0, 0, 10, 10}, ""));
    EXPECT_FALSE(snap({0, 0, 10, 10}, scratch("no-such-folder\\x.bmp")));
    EXPECT_FALSE(snap({0, 0, 10, 10}, scratch("wild*.bmp")));
    EXPECT_FALSE(snap({0, 0, 10, 10}, scratch("what?.bmp")));
    // Held open by another program without sharing.
    const std::string held = scratch("held.bmp");
    HANDLE other = CreateFileA(held.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_FALSE(snap({0, 0, 10, 10}, held));
    CloseHandle(other);
    EXPECT_EQ(read_file(held).size(), 0u);
}

TEST_F(SnapshotFiles, NamesLongerThan255CharactersAreRefusedNotCut) {
    // The file a cut name would hit is there beforehand and must stay as it is.
    const std::string folder = scratch("");
    const std::string prefix = folder + std::string(255 - folder.size() - 4, 'n') + ".bmp";
    ASSERT_EQ(prefix.size(), 255u);
    const std::string kept = "named by its first 255 characters only";
    write_file(prefix, kept);
    for (std::size_t length : {256u, 300u}) {
        SCOPED_TRACE(length);
        const std::string longer = prefix + std::string(length - 255, 't');
        EXPECT_FALSE(snap({0, 0, 4, 4}, longer));
        EXPECT_EQ(read_file(prefix), std::vector<unsigned char>(kept.begin(), kept.end()));
    }
    EXPECT_TRUE(snap({0, 0, 4, 4}, prefix)) << "255 characters are still a name";
    EXPECT_EQ(read_file(prefix).size(), 54u + 64);
}

TEST_F(SnapshotFiles, ReleasesTheSectionAndContexts) {
    // 100 pictures of 640 KB: a section or context kept per call would show.
    const std::string name = scratch("leak.bmp");
    snap({0, 0, 400, 400}, name);
    const SIZE_T before = private_bytes();
    for (int i = 0; i < 100; ++i) snap({0, 0, 400, 400}, name);
    EXPECT_LT(private_bytes(), before + (8u << 20));
}

// ---- SaveImage with the viewer -------------------------------------------------

class SaveImage : public ::testing::Test {
protected:
    void SetUp() override { register_fake_control(); }
    void TearDown() override { destroy_host(host); }
    host_window host;
};

TEST_F(SaveImage, WritesTheContainerExactly) {
    watchdog guard(30, "SaveImage.WritesTheContainerExactly");
    host = create_host(300, 200);
    const std::string name = scratch("container.bmp");
    const std::string with_extra = name + "|ignored.bmp";
    RECT container = {};
    run_in_viewer(handle_text(host.rectangle),
                  {{[&] { GetWindowRect(container_handle, &container); }, 300},
                   {[&] { KP_QUELTO3D_SAVEIMAGE(with_extra.c_str()); }},
                   {[] { KP_QUELTO3D_END(nullptr); }}});
    const auto file = read_file(name);
    ASSERT_EQ(file.size(), 240054u);
    const unsigned char expected[] = {0x42, 0x4D, 0xB6, 0xA9, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x36, 0x00,
                                      0x00, 0x00, 0x28, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00, 0xC8, 0x00,
                                      0x00, 0x00, 0x01, 0x00, 0x20, 0x00};
    EXPECT_EQ(0, memcmp(file.data(), expected, sizeof expected));
    for (size_t i = 30; i < 54; ++i) EXPECT_EQ(file[i], 0) << i;
    EXPECT_EQ(container.right - container.left, 300);
    EXPECT_FALSE(exists(scratch("ignored.bmp")));
}

TEST_F(SaveImage, ShowsAChangeTheControlHasOnlyInvalidatedAndLeavesTheQueueAlone) {
    watchdog guard(30, "SaveImage.ShowsAChangeTheControlHasOnlyInvalidatedAndLeavesTheQueueAlone");
    fake_control::set_drawing(true);
    host = create_host(120, 90);
    const std::string name = scratch("fresh-frame.bmp");
    const UINT host_message = WM_APP + 7;
    BOOL still_queued = FALSE;
    run_in_viewer(handle_text(host.rectangle),
                  {{[] { KP_QUELTO3D_SETBKCOLOR("0,200,0"); }},
                   {[&] {
                        // Green has long reached the screen; red is only invalidated.
                        KP_QUELTO3D_SETBKCOLOR("200,0,0");
                        PostThreadMessageA(GetCurrentThreadId(), host_message, 0, 0);
                        KP_QUELTO3D_SAVEIMAGE(name.c_str());
                        MSG message;
                        still_queued = PeekMessageA(&message, nullptr, host_message, host_message, PM_REMOVE);
                    },
                    300},
                   {[] { KP_QUELTO3D_END(nullptr); }}});
    fake_control::set_drawing(false);
    EXPECT_TRUE(still_queued) << "SaveImage took a message of the host's out of the queue";
    const auto file = read_file(name);
    ASSERT_EQ(file.size(), 54u + 4 * 120 * 90);
    const unsigned char* centre = &file[54 + 4 * (45 * 120 + 60)];
    EXPECT_EQ(centre[0], 0);
    EXPECT_EQ(centre[1], 0);
    EXPECT_EQ(centre[2], 200) << "the previous frame was saved";
}

TEST_F(SaveImage, AfterEndAndWithoutContainerWritesA54ByteFile) {
    watchdog guard(30, "SaveImage.AfterEndAndWithoutContainerWritesA54ByteFile");
    HWND held = container_handle;
    container_handle = nullptr;  // as before any Init
    const std::string before = scratch("before.bmp");
    KP_QUELTO3D_SAVEIMAGE(before.c_str());
    container_handle = held;
    EXPECT_EQ(read_file(before).size(), 54u);

    host = create_host(120, 80);
    run_in_viewer(handle_text(host.rectangle), {{[] { KP_QUELTO3D_END(nullptr); }}});
    const std::string after = scratch("after.bmp");
    KP_QUELTO3D_SAVEIMAGE(after.c_str());
    const auto file = read_file(after);
    ASSERT_EQ(file.size(), 54u);
    EXPECT_EQ(u32(file, 18), 0u);
    EXPECT_EQ(u32(file, 22), 0u);
}

TEST_F(SaveImage, NamesThatWriteNothing) {
    const std::string folder = scratch("quiet\\");
    CreateDirectoryA(folder.c_str(), nullptr);
    SetCurrentDirectoryA(folder.c_str());
    const char* const names[] = {"", "|x", "?", "*", "a?b", "a*b|c", nullptr};
    for (const char* name : names) EXPECT_EQ(KP_QUELTO3D_SAVEIMAGE(name), nullptr);
    int entries = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..") ++entries;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(entries, 0);
}

}  // namespace
