// Bringing what a window shows up to date on the screen before the screen is
// copied.
#pragma once

#include <windows.h>

// Makes the pending paints of `window` and its children happen now, then
// lets what they painted reach the screen. Removes and dispatches no posted
// message: the host's queue is left as it was.
void bring_to_screen(HWND window);
