// The viewer control that the plug-in shows in a host rectangle, found the
// way the host application could find it: the "AtlAxWin" window among the
// rectangle's descendants and the control atl.dll hosts in it. The runner
// looks, after each action, whether a viewer is up and what its message line
// says; it never keeps a reference, so End takes the control down as usual.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wrl/client.h>

#include <string>

// The control hosted under `host_rectangle`, or null when none is (no
// container, or atl.dll could not create the control).
Microsoft::WRL::ComPtr<IDispatch> hosted_viewer(HWND host_rectangle);

// The control's message line: the text its view shows (a failed load, for
// one) and how many such lines it has shown so far. Read through the
// control's "MESSAGECOUNT" and "MESSAGELINE" properties; a control without
// them (not ours) gives `readable` false.
struct viewer_message {
    bool readable = false;
    double count = 0;
    std::string line;  // in the ANSI code page, as the runner prints it
};
viewer_message read_viewer_message(IDispatch* control);
