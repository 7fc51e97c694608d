// The viewer in a real window: SaveImage of a 1280x1024 container against the
// raw work any snapshot must do (a BitBlt of the same rectangle into a 32-bit
// DIB section and one WriteFile of the same bytes); the container loop's
// latency from a host's PostMessage to the nested action; and the CPU the
// idle viewer uses.
#include <cstdio>
#include <string>
#include <cstring>
#include <vector>

#include "bench/bench_clock.h"
#include "host/action_handlers.h"
#include "tests/viewer_session.h"
#include "viewer/bitmap_file_layout.h"
#include "viewer/viewer_state.h"

using namespace viewer_session;

namespace {

constexpr int width = 1280, height = 1024;

std::string temp_file(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

// BitBlt into a section made once, then one WriteFile of header and pixels
// into a file opened once: the floor under any snapshot of this rectangle.
struct raw_snapshot {
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP section;
    HGDIOBJ old;
    HANDLE file;
    std::vector<unsigned char> bytes;

    raw_snapshot() {
        BITMAPINFO info = {};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 32, BI_RGB};
        section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        old = SelectObject(memory, section);
        file = CreateFileA(temp_file("quelto-raw.bmp").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        bytes.resize(bitmap_pixel_offset + 4u * width * height);
    }
    ~raw_snapshot() {
        CloseHandle(file);
        SelectObject(memory, old);
        DeleteObject(section);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    void take() {
        BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        GdiFlush();
        std::memcpy(bytes.data() + bitmap_pixel_offset, bits, bytes.size() - bitmap_pixel_offset);
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
        DWORD written = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
};

// The same steps the snapshot must take by design, done by hand: a fresh
// display DC and section for every picture, the file opened and emptied in
// place, and three writes. Tells how much of the gap to the floor is the
// design's and how much the implementation's.
void design_steps_by_hand(const std::string& name) {
    HDC display = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    HDC memory = CreateCompatibleDC(display);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 32, BI_RGB};
    void* bits = nullptr;
    HBITMAP section = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    SelectObject(memory, section);
    BitBlt(memory, 0, 0, width, height, display, 0, 0, SRCCOPY);
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
    unsigned char headers[bitmap_pixel_offset] = {};
    DWORD written = 0;
    WriteFile(file, headers, 14, &written, nullptr);
    WriteFile(file, headers + 14, 40, &written, nullptr);
    WriteFile(file, bits, 4u * width * height, &written, nullptr);
    SetEndOfFile(file);
    CloseHandle(file);
    DeleteDC(display);
    DeleteDC(memory);
    DeleteObject(section);
}

double process_cpu_seconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Latency samples: the time a posted message waits before its handler runs
// inside the container loop.
std::vector<double> latencies;
double posted_at;
HWND probe_window;
constexpr UINT probe_message = WM_APP + 7;
constexpr int probe_count = 1000;

LRESULT CALLBACK probe_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != probe_message) return DefWindowProcA(window, message, wparam, lparam);
    latencies.push_back((seconds_now() - posted_at) * 1e6);
    if (static_cast<int>(latencies.size()) < probe_count) {
        // Let the queue run dry first, so the loop is in its idle state.
        Sleep(2);
        posted_at = seconds_now();
        PostMessageA(window, probe_message, 0, 0);
    }
    return 0;
}

}  // namespace

int main() {
    OleInitialize(nullptr);
    host_window host = create_host(width, height, 0, 0);
    // A borderless host at the screen's origin so the container is exactly
    // the 1280x1024 screen.
    SetWindowLongA(host.frame, GWL_STYLE, WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN);
    SetWindowPos(host.frame, HWND_TOP, 0, 0, width, height, SWP_FRAMECHANGED);
    SetWindowPos(host.rectangle, nullptr, 0, 0, width, height, SWP_NOZORDER);

    WNDCLASSA probe_class = {};
    probe_class.lpfnWndProc = probe_procedure;
    probe_class.hInstance = GetModuleHandleA(nullptr);
    probe_class.lpszClassName = "QueltoProbe";
    RegisterClassA(&probe_class);
    probe_window = CreateWindowExA(0, "QueltoProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   GetModuleHandleA(nullptr), nullptr);

    const std::string ours_file = temp_file("quelto-saveimage.bmp");
    std::vector<double> ours, raw, by_hand;
    double cpu_seconds = 0, wall_seconds = 0;
    RECT container = {};
    run_in_viewer(
        handle_text(host.rectangle),
        {{[&] { GetWindowRect(container_handle, &container); }, 500},
         {[&] {
              raw_snapshot floor;
              for (int round = 0; round < 15; ++round) {
                  double start = seconds_now();
                  KP_QUELTO3D_SAVEIMAGE(ours_file.c_str());
                  ours.push_back(seconds_now() - start);
                  start = seconds_now();
                  floor.take();
                  raw.push_back(seconds_now() - start);
                  start = seconds_now();
                  design_steps_by_hand(temp_file("quelto-by-hand.bmp"));
                  by_hand.push_back(seconds_now() - start);
              }
          }},
         {[&] {
              posted_at = seconds_now();
              PostMessageA(probe_window, probe_message, 0, 0);
          }},
         {[&] {
              cpu_seconds = process_cpu_seconds();
              wall_seconds = seconds_now();
          },
          3000},
         {[&] {
              cpu_seconds = process_cpu_seconds() - cpu_seconds;
              wall_seconds = seconds_now() - wall_seconds;
              KP_QUELTO3D_END(nullptr);
          },
          10000}});

    std::printf("SaveImage of a %ldx%ld container, median of 15 interleaved rounds\n",
                container.right - container.left, container.bottom - container.top);
    std::printf("  SaveImage %8.2f ms   raw BitBlt + WriteFile %8.2f ms   ratio %.2f\n", median(ours) * 1e3,
                median(raw) * 1e3, median(ours) / median(raw));
    std::printf("  the same design steps done by hand %8.2f ms   ratio SaveImage / by hand %.2f\n",
                median(by_hand) * 1e3, median(ours) / median(by_hand));
    std::printf("container loop: PostMessage to the nested action, %zu samples\n", latencies.size());
    std::printf("  median %8.1f us   99th percentile %8.1f us\n", median(latencies), percentile(latencies, 0.99));
    std::printf("idle viewer: %.2f s CPU over %.1f s wall, %.1f%% of one core\n", cpu_seconds, wall_seconds,
                100.0 * cpu_seconds / wall_seconds);
    DeleteFileA(ours_file.c_str());
    DeleteFileA(temp_file("quelto-raw.bmp").c_str());
    DeleteFileA(temp_file("quelto-by-hand.bmp").c_str());
    destroy_host(host);
    return 0;
}
