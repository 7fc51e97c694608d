#include "runner/installation_check.h"

#include "control/com/member_table.h"
#include "runner/atl_functions.h"
#include "runner/control_registration.h"
#include "runner/excerpt.h"
#include "runner/handles.h"
#include "runner/plugin_host.h"

#include <wrl/client.h>

#include <cstdint>
#include <cstdio>

using Microsoft::WRL::ComPtr;

namespace {
constexpr char frame_class[] = "QueltoRunnerCheck";
constexpr int frame_width = 160, frame_height = 120;
// Painted under the control before it draws: what is left of it was not drawn.
constexpr COLORREF unpainted = RGB(255, 0, 255);

class checklist {
public:
    void ok(const std::string& item) { std::printf("ok      %s\n", item.c_str()); }
    void failed(const std::string& item, const std::string& fix) {
        std::printf("FAILED  %s\n        fix: %s\n", item.c_str(), fix.c_str());
        ++failures_;
    }
    void skipped(const std::string& item) {
        std::printf("--      %s: not checked, as an item above failed\n", item.c_str());
    }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

std::string hresult_text(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    std::string text = windows_error_text(static_cast<DWORD>(hr));
    // windows_error_text ends in the decimal code; an HRESULT reads better in hex.
    std::size_t number = text.rfind(" (error ");
    return (number == std::string::npos ? text : text.substr(0, number)) + " (" + code + ")";
}

bool same_ignoring_case(const std::string& a, const char* b) { return lstrcmpiA(a.c_str(), b) == 0; }

// A top-level window that Windows paints like any other but that nobody sees:
// fully transparent (almost), without a taskbar button, never activated, and
// letting the mouse through.
owned_window open_invisible_frame() {
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = DefWindowProcA;
    window_class.hInstance = GetModuleHandleA(nullptr);
    window_class.lpszClassName = frame_class;
    if (!RegisterClassExA(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return owned_window();
    owned_window frame(CreateWindowExA(WS_EX_LAYERED | WS_EX_TRANSPARENT | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE,
                                       frame_class, "quelto-runner --check", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                                       frame_width, frame_height, nullptr, nullptr, GetModuleHandleA(nullptr),
                                       nullptr));
    if (frame) SetLayeredWindowAttributes(frame.get(), 0, 1, LWA_ALPHA);
    return frame;
}

// Lets queued and paint messages run for a while.
void pump_messages(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    do {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(10);
    } while (GetTickCount() - start < milliseconds);
}

// The share of `window`'s client pixels, in percent, that are no longer `unpainted`.
int painted_percent(HWND window) {
    RECT client = {};
    GetClientRect(window, &client);
    const int width = client.right, height = client.bottom;
    if (width <= 0 || height <= 0) return 0;
    window_dc source(window);
    memory_dc memory(CreateCompatibleDC(source.get()));
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    owned_bitmap bitmap(CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!source.get() || !memory || !bitmap) return 0;
    HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, width, height, source.get(), 0, 0, SRCCOPY);
    GdiFlush();
    SelectObject(memory.get(), previous);
    // Blue, green, red: magenta reads the same either way round.
    const auto* pixels = static_cast<const std::uint32_t*>(bits);
    const std::uint32_t marker = GetRValue(unpainted) << 16 | GetGValue(unpainted) << 8 | GetBValue(unpainted);
    long painted = 0, count = static_cast<long>(width) * height;
    for (long i = 0; i < count; ++i)
        if ((pixels[i] & 0xFFFFFF) != marker) ++painted;
    return static_cast<int>(painted * 100 / count);
}

HRESULT call_method(IDispatch* control, const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {};
    return control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
}

std::wstring widened(const char* text) {
    std::wstring wide;
    for (const char* c = text; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return wide;
}

// The members the plug-in calls that `control` does not know.
std::string unknown_members(IDispatch* control) {
    std::string unknown;
    for (int i = 0; i < member_count; ++i) {
        std::wstring name = widened(member_table[i].name);
        LPOLESTR names[] = {&name[0]};
        DISPID id = DISPID_UNKNOWN;
        if (FAILED(control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
            unknown += (unknown.empty() ? "" : ", ") + std::string(member_table[i].name);
    }
    return unknown;
}

void check_plugin(checklist& list, const std::string& plugin_path) {
    std::string error;
    std::unique_ptr<plugin_host> host = plugin_host::open(plugin_path, error);
    const std::string fix =
        "use VasaQuelto3D.dll from the package: keep it beside quelto-runner.exe, or name it with --dll PATH";
    if (!host) return list.failed("plug-in: " + error, fix);
    if (host->actions().empty()) return list.failed("plug-in: " + quoted(plugin_path) + " registers no actions", fix);
    list.ok("plug-in: " + quoted(plugin_path) + " loads; " + host->identity().title + ", " +
            std::to_string(host->actions().size()) + " actions registered");
}

// The control hosted as the plug-in hosts it; checks the window and a frame.
void check_hosting(checklist& list, const std::string& fix) {
    atl_functions atl = load_atl();
    if (!atl.init || !atl.get_control) {
        list.failed("window: atl.dll, which the plug-in shows the control with, is missing or lacks AtlAxWinInit",
                    "atl.dll belongs to Windows; repair the system files (sfc /scannow from a command prompt "
                    "started as administrator)");
        return list.skipped("frame");
    }
    atl.init();
    // Made first, so destroyed last: the pointers to the control go before
    // the window that hosts it.
    owned_window frame = open_invisible_frame();
    HWND host_window = frame ? CreateWindowExA(0, "AtlAxWin", viewer_prog_id, WS_CHILD | WS_VISIBLE, 0, 0,
                                               frame_width, frame_height, frame.get(), nullptr,
                                               GetModuleHandleA(nullptr), nullptr)
                             : nullptr;
    ComPtr<IUnknown> hosted;
    if (host_window) atl.get_control(host_window, &hosted);
    ComPtr<IDispatch> control;
    if (hosted) hosted.As(&control);
    ComPtr<IOleWindow> window_of_control;
    HWND control_window = nullptr;
    if (hosted && SUCCEEDED(hosted.As(&window_of_control))) window_of_control->GetWindow(&control_window);
    if (!control_window && host_window) control_window = GetWindow(host_window, GW_CHILD);
    if (!control || !control_window) {
        list.failed(std::string("window: atl.dll's AtlAxWin ") +
                        (control ? "made no window for the control" : "did not create the control"),
                    fix);
        return list.skipped("frame");
    }
    list.ok("window: atl.dll's AtlAxWin shows the control in a window, as the plug-in does");

    ShowWindow(frame.get(), SW_SHOWNOACTIVATE);
    pump_messages(200);
    {
        window_dc dc(control_window);
        RECT client = {};
        GetClientRect(control_window, &client);
        owned_brush brush(CreateSolidBrush(unpainted));
        if (brush) FillRect(dc.get(), &client, brush.get());
    }
    // Where a window's pixels cannot be read back (they read as black, say),
    // only whether the control painted can be told.
    const bool pixels_readable = painted_percent(control_window) <= 10;
    HRESULT reset = call_method(control.Get(), L"RESETSCENE");
    InvalidateRect(control_window, nullptr, FALSE);
    UpdateWindow(control_window);
    pump_messages(200);
    RECT pending = {};
    const bool painted = !GetUpdateRect(control_window, &pending, FALSE);
    const int percent = painted_percent(control_window);
    if (FAILED(reset))
        list.failed("frame: RESETSCENE failed: " + hresult_text(reset), fix);
    else if (pixels_readable && percent >= 50)
        list.ok("frame: after RESETSCENE the control drew " + std::to_string(percent) + "% of its window");
    else if (!pixels_readable && painted)
        list.ok("frame: after RESETSCENE the control painted its window (its pixels cannot be read back here)");
    else
        list.failed("frame: after RESETSCENE the control drew " +
                        (pixels_readable ? "only " + std::to_string(percent) + "% of its window" : "nothing"),
                    "if the view stays empty in the application too, " + fix);
}

void check_server_file(checklist& list, const control_registration& found, const std::string& fix) {
    if (found.server.empty())
        list.failed("server file: the registration names none (InprocServer32)", fix);
    else if (found.server_file.empty())
        list.failed("server file: " + quoted(found.server) + " does not exist", "it was moved or deleted; " + fix);
    else
        list.ok("server file: " + quoted(found.server_file));

    if (found.server_file.empty()) return list.skipped("DLL kind");
    switch (read_dll_kind(found.server_file)) {
    case dll_kind::i386: return list.ok("DLL kind: a 32-bit (i386) DLL, as the 32-bit plug-in needs");
    case dll_kind::x64: return list.failed("DLL kind: a 64-bit DLL, which the 32-bit plug-in cannot load", fix);
    case dll_kind::other_machine: return list.failed("DLL kind: a DLL for another processor", fix);
    case dll_kind::not_a_dll: return list.failed("DLL kind: a program, not a DLL", fix);
    case dll_kind::not_a_program: return list.failed("DLL kind: not a Windows DLL", fix);
    case dll_kind::unreadable: return list.failed("DLL kind: the server file cannot be read", fix);
    }
}

void check_threading_model(checklist& list, const std::string& model, const std::string& fix) {
    if (model.empty())
        list.ok("threading model: none given (the control runs on the host's main thread)");
    else if (same_ignoring_case(model, "Apartment") || same_ignoring_case(model, "Both"))
        list.ok("threading model: " + model);
    else
        list.failed("threading model: " + quoted(model) +
                        ", but the viewer needs the control on the thread of the host's window (Apartment)",
                    fix);
}

// Created as COM creates it for anyone, then hosted as the plug-in hosts it.
void check_control(checklist& list, const CLSID& class_id, const std::string& fix) {
    ComPtr<IDispatch> control;
    HRESULT created = CoCreateInstance(class_id, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&control));
    if (FAILED(created)) {
        list.failed("control: cannot be created: " + hresult_text(created), fix);
        for (const char* item : {"members", "window", "frame"}) list.skipped(item);
        return;
    }
    list.ok("control: created, and it answers IDispatch");
    std::string unknown = unknown_members(control.Get());
    if (unknown.empty())
        list.ok("members: the control knows all " + std::to_string(member_count) + " members the plug-in calls");
    else
        list.failed("members: the control does not know " + unknown,
                    std::string(viewer_prog_id) + " is some other control; " + fix);
    control.Reset();
    check_hosting(list, fix);
}
}  // namespace

bool check_installation(const std::string& plugin_path) {
    ole_session ole;
    checklist list;
    check_plugin(list, plugin_path);

    const control_registration found = find_control_registration();
    const std::string fix = how_to_register();
    const std::string prog_id = viewer_prog_id;
    if (found.registered) {
        list.ok("viewer control: " + prog_id + " is registered, class " + found.clsid);
        check_server_file(list, found, fix);
        check_threading_model(list, found.threading_model, fix);
        check_control(list, found.class_id, fix);
    } else {
        if (found.only_for_64_bit)
            list.failed("viewer control: " + prog_id + " is registered for 64-bit programs only", fix);
        else
            list.failed("viewer control: nothing is registered as " + prog_id, fix);
        for (const char* item :
             {"server file", "DLL kind", "threading model", "control", "members", "window", "frame"})
            list.skipped(item);
    }

    if (list.failures() == 0)
        std::printf("\neverything is in place\n");
    else
        std::printf("\n%d %s FAILED: see the fix below each\n", list.failures(),
                    list.failures() == 1 ? "item" : "items");
    std::fflush(stdout);
    return list.failures() == 0;
}
