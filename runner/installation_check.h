// quelto-runner --check: whether the plug-in and the viewer control are in
// place for the host application to show the viewer, checked the way the
// plug-in uses them.
#pragma once

#include <string>

// Prints a checklist to stdout, one line per item with "ok" or "FAILED" (and
// the fix on the line after), and returns true when every item is ok.
bool check_installation(const std::string& plugin_path);
