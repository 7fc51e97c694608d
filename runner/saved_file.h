// Whether a SaveImage action wrote the file it names, and if not, why not
// most likely. The plug-in itself reports nothing.
#pragma once

#include <windows.h>

#include <string>

class saved_file_watch {
public:
    // Notes the state of the file that `parameter` names (the text before its
    // first '|', resolved against the current folder as the plug-in does).
    explicit saved_file_watch(const std::string& parameter);
    ~saved_file_watch();
    saved_file_watch(const saved_file_watch&) = delete;
    saved_file_watch& operator=(const saved_file_watch&) = delete;

    // After the action: true when the file is new or was written again.
    bool written();
    // The name as the plug-in used it, made absolute where that can be done.
    const std::string& full_name() const { return full_name_; }
    // After written() said false: the likeliest reason, as a phrase.
    std::string likely_cause() const;

private:
    void restore_marked_time();

    std::string name_;
    std::string full_name_;
    bool existed_ = false;
    // An existing file's last-write time is set to a mark from long ago
    // before the action: any write moves it to now, even one that leaves the
    // same bytes within the same clock tick. Put back when nothing wrote.
    bool marked_ = false;
    FILETIME original_time_ = {};
    ULONGLONG original_size_ = 0;
};
