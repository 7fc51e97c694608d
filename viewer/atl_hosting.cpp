#include "viewer/atl_hosting.h"

// atl.dll is resolved when Init first needs it rather than imported: mingw has
// no import library for it, the plug-in then still loads (and registers its
// actions) on a system where the DLL is missing or lacks an export, and the
// load routine stays free of work. The module is never freed: the windows of
// its class may live as long as the process.
namespace {

void* atl_function(const char* name) {
    HMODULE atl = GetModuleHandleA("atl.dll");
    if (!atl) atl = LoadLibraryA("atl.dll");
    return atl ? reinterpret_cast<void*>(GetProcAddress(atl, name)) : nullptr;
}

}  // namespace

bool atl_ax_win_init() {
    using init_fn = BOOL(WINAPI*)();
    auto init = reinterpret_cast<init_fn>(atl_function("AtlAxWinInit"));
    if (!init) return false;
    init();  // result not examined: a second registration reports failure
    return true;
}

IUnknown* atl_ax_get_control(HWND host_window) {
    using get_control_fn = HRESULT(WINAPI*)(HWND, IUnknown**);
    auto get_control = reinterpret_cast<get_control_fn>(atl_function("AtlAxGetControl"));
    IUnknown* control = nullptr;
    if (get_control) get_control(host_window, &control);  // result not examined; the out-value tells
    return control;
}
