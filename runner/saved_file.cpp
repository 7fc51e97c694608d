#include "runner/saved_file.h"

#include "runner/excerpt.h"
#include "runner/handles.h"

#include <vector>

namespace {
// What the plug-in refuses to write to (it then writes nothing).
constexpr std::size_t longest_name = 255;

// 1 January 2000, 00:00 UTC: earlier than any picture saved today.
constexpr ULONGLONG mark_ticks = 125911584000000000ULL;

FILETIME mark_time() {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(mark_ticks);
    time.dwHighDateTime = static_cast<DWORD>(mark_ticks >> 32);
    return time;
}

bool same_time(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

struct file_state {
    bool exists = false;
    DWORD attributes = 0;
    ULONGLONG size = 0;
    FILETIME last_written = {};
};

file_state state_of(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return {};
    return {true, data.dwFileAttributes, (ULONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
            data.ftLastWriteTime};
}

bool set_last_write_time(const std::string& path, const FILETIME& time) {
    file_handle file =
        open_file(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    return file && SetFileTime(file.get(), nullptr, nullptr, &time);
}

// The folder part of an absolute name, without a trailing separator unless
// it is a drive's root.
std::string folder_of(const std::string& full_name) {
    std::size_t slash = full_name.find_last_of("\\/");
    if (slash == std::string::npos) return "";
    std::string folder = full_name.substr(0, slash + 1);
    if (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    return folder;
}
}  // namespace

saved_file_watch::saved_file_watch(const std::string& parameter)
    : name_(parameter.substr(0, parameter.find('|'))), full_name_(name_) {
    if (name_.empty() || name_.size() > longest_name || name_.find_first_of("*?") != std::string::npos) return;
    std::vector<char> full(32768);
    DWORD length = GetFullPathNameA(name_.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size()) full_name_.assign(full.data(), length);

    file_state before = state_of(full_name_);
    existed_ = before.exists;
    if (existed_ && !(before.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        original_time_ = before.last_written;
        original_size_ = before.size;
        marked_ = set_last_write_time(full_name_, mark_time());
    }
}

saved_file_watch::~saved_file_watch() { restore_marked_time(); }

bool saved_file_watch::written() {
    file_state after = state_of(full_name_);
    if (!after.exists || (after.attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!existed_) return true;
    // Without the mark, a write shows in the size or the time, unless it
    // happened within the same clock tick as the last one.
    if (!marked_) return after.size != original_size_ || !same_time(after.last_written, original_time_);
    bool moved = !same_time(after.last_written, mark_time());
    restore_marked_time();
    return moved;
}

void saved_file_watch::restore_marked_time() {
    if (!marked_) return;
    marked_ = false;
    // Only a time that is still the mark is put back: a write's time stays.
    file_state now = state_of(full_name_);
    if (now.exists && same_time(now.last_written, mark_time())) set_last_write_time(full_name_, original_time_);
}

std::string saved_file_watch::likely_cause() const {
    if (name_.empty()) return "no file name was given";
    if (name_.size() > longest_name)
        return "the name is " + std::to_string(name_.size()) + " characters long; SaveImage takes at most " +
               std::to_string(longest_name);
    if (name_.find_first_of("*?") != std::string::npos) return "a file name cannot hold '*' or '?'";
    std::string folder = folder_of(full_name_);
    DWORD folder_attributes = folder.empty() ? FILE_ATTRIBUTE_DIRECTORY : GetFileAttributesA(folder.c_str());
    if (folder_attributes == INVALID_FILE_ATTRIBUTES || !(folder_attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "the folder " + quoted(folder) + " does not exist";
    file_state now = state_of(full_name_);
    if (now.attributes & FILE_ATTRIBUTE_DIRECTORY) return "that is a folder";
    if (now.attributes & FILE_ATTRIBUTE_READONLY) return "the file is read-only";
    return "the file could not be written there (no permission, the file is open in another program, or the "
           "disk is full)";
}
