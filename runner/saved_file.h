// Whether a SaveImage action wrote the file it names, and if not, why not
// most likely. The plug-in itself reports nothing.
#pragma once

#include <windows.h>

#include <string>

// Whether a SaveImage wrote its file is seen by looking only: the file is
// never changed (no time set and put back), so that a run that ends halfway
// (a crash, a kill, Ctrl+C) leaves the author's file as it was. A write shows
// in the size, the last-write time or the change time (which every write
// moves and no program can set); the watch waits, before the action, until
// the clock has moved past the file's times, so that even a write of the
// same bytes moments after the last one gets a time of its own.
class saved_file_watch {
public:
    // Notes the state of the file that `parameter` names (the text before its
    // first '|', resolved against the current folder as the plug-in does).
    explicit saved_file_watch(const std::string& parameter);

    // After the action: true when the file is new or was written again.
    bool written() const;
    // The name as the plug-in used it, made absolute where that can be done.
    const std::string& full_name() const { return full_name_; }
    // After written() said false: the likeliest reason, as a phrase.
    std::string likely_cause() const;

    // What is looked at. Times are FILETIME ticks (100 ns).
    struct state {
        bool exists = false;
        DWORD attributes = 0;
        ULONGLONG size = 0;
        ULONGLONG last_written = 0;
        ULONGLONG changed = 0;  // 0 where the file system does not say
    };

private:
    std::string name_;
    std::string full_name_;
    state before_;
};

// The file's state, read without changing anything of it.
saved_file_watch::state file_state(const std::string& path);

// True when the file at `path` is a BMP picture of no pixels (0 wide or 0
// high), as SaveImage writes it while no viewer is up.
bool is_empty_picture(const std::string& path);
