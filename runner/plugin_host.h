// The host's side of the plug-in boundary: loads the library, resolves its
// entry points by their exported names, runs the handshake and registration,
// and runs actions the way the host application does.
#pragma once

#include "host/plugin_abi.h"
#include "runner/received_catalogue.h"

#include <cstdint>
#include <memory>
#include <string>

struct plugin_identity {
    std::string title;
    std::string publisher;
    std::string hint;
};

class plugin_host {
public:
    // Initialises OLE on this thread (the plug-in expects its host to have
    // done so), loads the library and runs pgInitPlugIn and pgRegisterPlugIn.
    // On failure returns nullptr and one line naming the library and cause.
    static std::unique_ptr<plugin_host> open(const std::string& path, std::string& error);
    ~plugin_host();
    plugin_host(const plugin_host&) = delete;
    plugin_host& operator=(const plugin_host&) = delete;

    const plugin_identity& identity() const { return identity_; }
    const received_catalogue& actions() const { return actions_; }

    // Hands one action to pgExecAction with a parameter cell holding the
    // text's address, or 0 for the empty text. Returns the plug-in's answer:
    // 1 when the number was one of its actions.
    std::int32_t run_action(std::int32_t number, const std::string& parameter) const;

private:
    plugin_host() = default;

    bool ole_initialised_ = false;
    HMODULE module_ = nullptr;
    pgExecAction_fn exec_action_ = nullptr;
    plugin_identity identity_;
    received_catalogue actions_;
};

// The system's text for a GetLastError code on one line, with the number.
std::string windows_error_text(DWORD code);

// The file called `name` in the folder of the running program.
std::string file_beside_runner(const char* name);

// VasaQuelto3D.dll in the folder of the running program.
std::string default_plugin_path();
