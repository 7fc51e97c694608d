// Plays a script the way an author's script runs in the host application:
// one action per message, so that every action after Init runs inside the
// message loop that Init keeps while the viewer is up.
#pragma once

#include "runner/host_window.h"
#include "runner/plugin_host.h"
#include "runner/script.h"

#include <cstddef>
#include <string>
#include <vector>

struct play_options {
    bool verbose = false;  // print each step before it runs
    bool hold = false;     // after the script, keep the window until it is closed
};

struct play_result {
    // nothing_saved: a SaveImage line left its file as it was; no_viewer: Init
    // brought no viewer up, or a SaveImage saved an empty picture (a message
    // said why in both).
    enum class outcome { done, refused, window_closed, nothing_saved, no_viewer, failed };
    outcome what = outcome::done;
    std::size_t steps_not_run = 0;  // every outcome but done and failed
    std::string error;              // failed: the runner could not play at all
};

// Runs `steps` through `host`. `window` (may be null when the script has no
// Init and no hold is asked for) is the host window: Init without a parameter
// gets its rectangle's handle, and closing it stops the script. A script that
// stops while the viewer is up ends it with End, unless `hold` keeps it.
// Before the first Init, a missing viewer control is reported on stderr. The
// script stops when Init brings no viewer up and when a SaveImage writes no
// file or an empty picture. Each new message line of the viewer control is
// printed to stderr with the line that led to it.
play_result play_script(const plugin_host& host, const std::vector<script_step>& steps, host_window* window,
                        const play_options& options);

