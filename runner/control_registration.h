// Where COM finds the viewer control that the plug-in asks for by its
// ProgID, read as a 32-bit program sees the registry, and the commands that
// register ours.
#pragma once

#include <windows.h>

#include <string>

// The ProgID the plug-in creates its viewer control by.
inline constexpr char viewer_prog_id[] = "QUELTO3D.Quelto3dCtrl.1";
inline constexpr char control_file_name[] = "Quelto3dCtrl.dll";

struct control_registration {
    bool registered = false;       // the ProgID names a class
    bool only_for_64_bit = false;  // not registered, but a 64-bit program would find it
    CLSID class_id = {};
    std::string clsid;             // class_id as "{...}"
    std::string server;            // InprocServer32, environment variables expanded; empty: none
    std::string server_file;       // the file it names, found as LoadLibrary would; empty: none there
    std::string threading_model;   // empty: none given
};

control_registration find_control_registration();

enum class dll_kind { i386, x64, other_machine, not_a_dll, not_a_program, unreadable };

// What the PE headers of the file at `path` say.
dll_kind read_dll_kind(const std::string& path);

// Quelto3dCtrl.dll beside the running program, or empty when there is none.
std::string control_beside_runner();

// The command that registers `dll` for all users with the 32-bit regsvr32;
// with an empty `dll`, for Quelto3dCtrl.dll in the current folder.
std::string registration_command(const std::string& dll);

// What to do about a missing or broken registration, in one sentence that
// ends with the registration command for ours when it is beside the runner.
std::string how_to_register();

// One line for stderr before Init when the plug-in could not create the
// control (not registered, or its server file is gone); empty when it can.
std::string control_warning(const control_registration& found);
