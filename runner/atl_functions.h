// atl.dll's two functions that host an ActiveX control in a window of class
// "AtlAxWin", as the plug-in uses them. Resolved at run time: mingw has no
// import library for atl.dll.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct atl_functions {
    BOOL(WINAPI* init)() = nullptr;
    HRESULT(WINAPI* get_control)(HWND, IUnknown**) = nullptr;
};

// Loads atl.dll (kept loaded: its windows may outlive the caller) and finds
// both functions; a missing one stays null.
atl_functions load_atl();
