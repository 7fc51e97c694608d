// The viewer's process-wide state: zero or empty when the library is loaded.
// Init, End and Resize write it; the command actions and SaveImage read it.
#pragma once

#include <windows.h>
#include <oaidl.h>

struct container_size_t {
    LONG width;
    LONG height;
};

extern HWND host_rectangle;             // the host's window, from Init's parameter
extern container_size_t container_size;  // host rectangle's client size at the latest Init or Resize
extern HWND container_handle;           // the container dialog; stale after End
extern HWND atl_host_window;            // "AtlAxWin" child 1001 of the container
extern IDispatch* control_object;       // the one reference to the viewer control, or null

// Values of member calls: argument 1 (or a property's value) and argument 2.
extern VARIANT first_argument;
extern VARIANT second_argument;
