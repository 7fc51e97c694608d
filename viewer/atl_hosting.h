// ATL's control hosting, taken from the system's atl.dll at run time.
#pragma once

#include <windows.h>
#include <unknwn.h>

// Registers the "AtlAxWin" window class; false when atl.dll is not there.
bool atl_ax_win_init();

// The control hosted by an "AtlAxWin" window, with a reference taken, or
// null (also when atl.dll is not there).
IUnknown* atl_ax_get_control(HWND host_window);
