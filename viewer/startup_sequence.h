// The member calls that set up a freshly created viewer control.
#pragma once

// The identifier the control expects in "INIT", in registry form (38
// characters, braces included).
inline constexpr char control_init_guid[] = "{5B0E3C1A-7D44-4F2B-9A61-3E8C2D7F0B95}";
inline constexpr char control_plugins_path[] = ".\\Plugins";

// Seven calls in a fixed order, each made whether or not the one before failed.
void make_startup_sequence();
