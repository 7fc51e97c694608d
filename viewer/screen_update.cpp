#include "viewer/screen_update.h"

namespace {

// Under Wine a window paints into a surface of its own, which reaches the
// screen when the thread next finds its queue empty (or 50 ms later). A look
// for a message that is never posted finds it empty, and takes nothing out.
void let_thread_go_idle() {
    static const char never_posted_name[] = "VasaQuelto3D screen update";
    const UINT never_posted = RegisterWindowMessageA(never_posted_name);
    if (!never_posted) return;
    MSG none;
    PeekMessageA(&none, nullptr, never_posted, never_posted, PM_NOREMOVE);
}

// With desktop composition the screen shows the last composed frame: wait for
// the next one. dwmapi.dll is looked up, not imported, because systems
// without composition do not have it.
void wait_for_composition() {
    HMODULE dwm = LoadLibraryA("dwmapi.dll");
    if (!dwm) return;
    using enabled_fn = HRESULT(WINAPI*)(BOOL*);
    using flush_fn = HRESULT(WINAPI*)();
    auto enabled = reinterpret_cast<enabled_fn>(reinterpret_cast<void*>(GetProcAddress(dwm, "DwmIsCompositionEnabled")));
    auto flush = reinterpret_cast<flush_fn>(reinterpret_cast<void*>(GetProcAddress(dwm, "DwmFlush")));
    BOOL composing = FALSE;
    if (enabled && flush && SUCCEEDED(enabled(&composing)) && composing) flush();
    FreeLibrary(dwm);
}

}  // namespace

void bring_to_screen(HWND window) {
    if (!IsWindow(window)) return;
    RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    GdiFlush();
    let_thread_go_idle();
    wait_for_composition();
}
