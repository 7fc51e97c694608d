// Init, End and Resize: the container dialog over the host rectangle, the
// ATL host window that creates the viewer control inside it, and the
// container loop in which every later action runs nested.
#include <cstring>

#include "host/action_handlers.h"
#include "viewer/atl_hosting.h"
#include "viewer/startup_sequence.h"
#include "viewer/text_to_number.h"
#include "viewer/viewer_state.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

constexpr char control_prog_id[] = "QUELTO3D.Quelto3dCtrl.1";
constexpr int atl_host_window_id = 1001;
constexpr DWORD container_style = WS_CHILD | DS_SETFONT | DS_NOFAILCREATE | DS_3DLOOK;  // 0x40000054
constexpr UINT container_place_flags = SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE | SWP_NOCOPYBITS |
                                       SWP_NOOWNERZORDER | SWP_NOSENDCHANGING;  // 0x071C

HINSTANCE module_instance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

container_size_t client_size(HWND window) {
    RECT client = {};
    if (!GetClientRect(window, &client)) return {0, 0};
    return {client.right - client.left, client.bottom - client.top};
}

// The in-memory dialog template: no controls, no menu, the default class, a
// title of one space, "MS Sans Serif" at 8 points. DWORD-aligned, as the
// dialog manager requires: DLGTEMPLATE alone is packed to 2.
struct alignas(DWORD) container_template {
    DLGTEMPLATE header;
    WORD menu, window_class;
    WCHAR title[2];
    WORD point_size;
    WCHAR font[14];
};

void fill_template(container_template& t, container_size_t size) {
    std::memset(&t, 0, sizeof t);
    t.header.style = container_style;
    t.header.cx = static_cast<short>(size.width);
    t.header.cy = static_cast<short>(size.height);
    t.title[0] = L' ';
    t.point_size = 8;
    std::memcpy(t.font, L"MS Sans Serif", sizeof(L"MS Sans Serif"));
}

// Called for every message of a container once Init has attached it; never
// claims a message.
INT_PTR CALLBACK container_callback(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        make_startup_sequence();
    } else if (message == WM_SYSCOMMAND && (wparam & ~static_cast<WPARAM>(0xF)) == SC_CLOSE) {
        SendMessageA(window, WM_CLOSE, wparam, lparam);
    }
    return FALSE;
}

// Closes and destroys a container, re-enabling its parent on the way and
// leaving the parent as it was should the destruction fail.
void end_container(HWND container) {
    SendMessageA(container, WM_CLOSE, 0, 0);
    HWND parent = reinterpret_cast<HWND>(GetWindowLongA(container, GWL_HWNDPARENT));
    BOOL was_disabled = FALSE;
    if (parent) was_disabled = EnableWindow(parent, TRUE);
    if (!DestroyWindow(container) && parent && was_disabled) EnableWindow(parent, FALSE);
}

INT_PTR CALLBACK container_dialog_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // Attached by Init through the dialog's user slot, so the WM_INITDIALOG
    // sent during creation does not reach it.
    auto callback = reinterpret_cast<DLGPROC>(GetWindowLongPtrA(window, DWLP_USER));
    if (callback) callback(window, message, wparam, lparam);
    if (message == WM_SYSCOMMAND && wparam == SC_CLOSE) {
        end_container(window);
        return TRUE;
    }
    return FALSE;
}

// Takes and dispatches the thread's messages until the stored container's
// height reads 0, which it does once that window is destroyed. Polls rather
// than waits so that nothing but the container decides when it ends.
void container_loop() {
    for (;;) {
        MSG message;
        if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);  // WM_QUIT too: it does not end the viewer
        } else {
            Sleep(1);
        }
        RECT rect = {};
        if (!GetWindowRect(container_handle, &rect)) rect = RECT{};
        if (rect.bottom - rect.top == 0) return;
    }
}

void replace_control_object(IUnknown* hosted) {
    if (control_object) {
        control_object->Release();
        control_object = nullptr;
    }
    if (!hosted) return;
    void* dispatch = nullptr;
    if (SUCCEEDED(hosted->QueryInterface(IID_IDispatch, &dispatch))) control_object = static_cast<IDispatch*>(dispatch);
    hosted->Release();
}

}  // namespace

BSTR WINAPI KP_QUELTO3D_INIT(const char* parameter) {
    host_rectangle = reinterpret_cast<HWND>(static_cast<UINT_PTR>(text_to_handle(parameter)));
    container_size = client_size(host_rectangle);
    atl_ax_win_init();

    container_template dialog_template;
    fill_template(dialog_template, container_size);
    container_handle = CreateDialogIndirectParamA(module_instance(), &dialog_template.header, host_rectangle,
                                                  container_dialog_procedure, 0);
    if (container_handle) {
        // Place in pixels: the template's size is in dialog units.
        RECT window = {}, client = {};
        GetWindowRect(container_handle, &window);
        GetClientRect(container_handle, &client);
        SetWindowPos(container_handle, nullptr, 0, 0,
                     container_size.width + (window.right - window.left) - (client.right - client.left),
                     container_size.height + (window.bottom - window.top) - (client.bottom - client.top),
                     container_place_flags);
    }

    atl_host_window = CreateWindowExA(0, "AtlAxWin", control_prog_id, WS_CHILD | WS_VISIBLE, 0, 0,
                                      container_size.width, container_size.height, container_handle,
                                      reinterpret_cast<HMENU>(static_cast<UINT_PTR>(atl_host_window_id)),
                                      module_instance(), nullptr);
    replace_control_object(atl_host_window ? atl_ax_get_control(atl_host_window) : nullptr);

    if (container_handle) {
        SetWindowLongPtrA(container_handle, DWLP_USER, reinterpret_cast<LONG_PTR>(&container_callback));
    }
    // The start-up sequence runs now that the control object is set and
    // before the container shows, also when no container came about (it
    // then finds no object).
    container_callback(container_handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(container_handle), 0);
    ShowWindow(container_handle, SW_SHOW);
    container_loop();
    return nullptr;
}

BSTR WINAPI KP_QUELTO3D_END(const char*) {
    end_container(container_handle);
    return nullptr;
}

BSTR WINAPI KP_QUELTO3D_RESIZE(const char*) {
    container_size = client_size(host_rectangle);
    SetWindowPos(container_handle, nullptr, 0, 0, container_size.width, container_size.height,
                 SWP_NOMOVE | SWP_NOZORDER);
    SetWindowPos(GetDlgItem(container_handle, atl_host_window_id), nullptr, 0, 0, container_size.width,
                 container_size.height, SWP_NOMOVE | SWP_NOZORDER);
    return nullptr;
}
