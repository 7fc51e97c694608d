// The reference that the package carries as REFERENCE.txt: the actions as
// the plug-in registers them with the host, each with what its parameter
// means and the members it calls (runner/action_parameters.h), and the viewer
// control's members as the plug-in calls them, from the same tables the
// README's and the guide's are checked against.
#pragma once

#include "runner/plugin_host.h"

#include <string>

// Writes the reference to the file at `path`, with Windows line ends for
// Notepad. On failure returns false and a message naming the file.
bool write_reference(const plugin_host& host, const std::string& path, std::string& error);
