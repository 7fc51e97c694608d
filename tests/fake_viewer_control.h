// A recording stand-in for the viewer control, for the test programs only.
// It answers the control's member names through IDispatch, records every
// name look-up and every Invoke that reaches it, and is hostable by ATL's
// "AtlAxWin" window through a minimal IOleObject.
#pragma once

#include <windows.h>
#include <ole2.h>

#include <functional>
#include <string>
#include <vector>

namespace fake_control {

// One VARIANT as it arrived: number only for VT_R8, text only for VT_BSTR.
struct argument {
    VARTYPE type = VT_EMPTY;
    double number = 0.0;
    bool null_text = false;  // VT_BSTR whose BSTR was null
    std::wstring text;       // the BSTR's full length, embedded NULs included
};

// One Invoke that reached the fake.
struct call {
    std::string member;  // name resolved by the DISPID ("" for an unknown DISPID)
    DISPID dispid = 0;
    LCID lcid = 0;
    WORD flags = 0;
    bool riid_is_null = false;
    bool result_requested = false;  // pVarResult was not null
    UINT arg_count = 0;
    UINT named_count = 0;
    DISPID named0 = 0;           // rgdispidNamedArgs[0], or 0 when there is none
    std::vector<argument> args;  // in rgvarg order (index 0 = last argument)
};

// One GetIDsOfNames.
struct lookup {
    std::vector<std::string> names;  // each UTF-16 unit truncated to 8 bits
    LCID lcid = 0;
    bool riid_is_null = false;
    bool known = false;  // every name resolved
};

struct record {
    std::vector<lookup> lookups;
    std::vector<call> calls;
};

// Everything since the last reset().
record& recorded();
// Benchmarks switch recording off so the record does not grow.
void set_recording(bool on);
// Clears the record, the failing members and the action run inside a call.
void reset();
// Members whose Invoke answers E_FAIL (still recorded), to test that callers
// carry on. Matched without regard to case.
void set_failing_members(std::vector<std::string> members);

// Runs `action` from inside the next Invoke of `member` (any case), once,
// after that call is recorded and before it returns: as a control that runs a
// message loop inside a member lets the host run further actions. The action
// sees the call's DISPPARAMS as they arrived.
void run_inside(std::string member, std::function<void(const DISPPARAMS&)> action);
// True when an object was destroyed while one of its own Invokes was running.
bool destroyed_while_invoked();

// While on, objects activated in a window from now on draw: a child window
// of the host filled with the background colour that SETCOLOR(0, colour)
// sets. A change only invalidates that window, as a control that paints
// later does.
void set_drawing(bool on);

// A new object with a reference count of 1.
IDispatch* create();
// Objects not yet destroyed, for leak checks.
long live_objects();

// The fixed CLSID under which register_class() puts the fake.
const CLSID& class_id();
// Registers the class factory (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE) and
// maps the ProgID "QUELTO3D.Quelto3dCtrl.1" to class_id() under
// HKLM\Software\Classes, the only place Wine reads COM classes from.
// Returns the cookie, 0 on failure.
DWORD register_class();
// Revokes the class factory; the registry keys stay.
void unregister_class(DWORD cookie);

// One call as "put NAME(args)" or "call NAME(args)", the arguments in
// positional order (rgvarg reversed), numbers as R8, texts as BSTR"..." or
// BSTR null: the form the tests compare whole sequences in.
std::string describe(const call& recorded_call);

// Each UTF-16 unit truncated to 8 bits, for messages.
std::string narrow(const std::wstring& text);

}  // namespace fake_control
