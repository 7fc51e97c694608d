#include "runner/saved_file.h"

#include "runner/excerpt.h"
#include "runner/handles.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {
// What the plug-in refuses to write to (it then writes nothing).
constexpr std::size_t longest_name = 255;

// File systems stamp writes from a coarse clock (a tick of up to 16 ms on
// Windows, 4 to 10 ms on Linux): a file's times must lie this far in the past
// before a new write is sure to stamp a later time.
constexpr ULONGLONG clock_margin = 30 * 10000ULL;  // 30 ms in FILETIME ticks
constexpr DWORD longest_wait_ms = 100;

ULONGLONG ticks_of(const FILETIME& time) { return ULONGLONG(time.dwHighDateTime) << 32 | time.dwLowDateTime; }

ULONGLONG ticks_now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return ticks_of(now);
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

saved_file_watch::state file_state(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return {};
    saved_file_watch::state s{true, data.dwFileAttributes, ULONGLONG(data.nFileSizeHigh) << 32 | data.nFileSizeLow,
                              ticks_of(data.ftLastWriteTime), 0};
    // The change time needs a handle; one that asks for no access at all
    // reads attributes even of a file another program holds open.
    if (const file_handle file =
            open_file(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) {
        FILE_BASIC_INFO basic = {};
        if (GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic))
            s.changed = ULONGLONG(basic.ChangeTime.QuadPart);
    }
    return s;
}

saved_file_watch::saved_file_watch(const std::string& parameter)
    : name_(parameter.substr(0, parameter.find('|'))), full_name_(name_) {
    if (name_.empty() || name_.size() > longest_name || name_.find_first_of("*?") != std::string::npos) return;
    std::vector<char> full(32768);
    DWORD length = GetFullPathNameA(name_.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length > 0 && length < full.size()) full_name_.assign(full.data(), length);

    before_ = file_state(full_name_);
    if (!before_.exists || (before_.attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
    // A file written moments ago (the last SaveImage to the same name):
    // its times must be in the past by more than a tick of the file
    // system's clock, or a write of the same bytes could get the same times.
    // A file dated in the future is written with an earlier time: no wait.
    const ULONGLONG latest = std::max(before_.last_written, before_.changed);
    for (DWORD waited = 0; waited < longest_wait_ms; waited += 5) {
        const ULONGLONG now = ticks_now();
        if (now < latest || now - latest > clock_margin) break;
        Sleep(5);
    }
}

bool saved_file_watch::written() const {
    const state after = file_state(full_name_);
    if (!after.exists || (after.attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (!before_.exists) return true;
    return after.size != before_.size || after.last_written != before_.last_written ||
           after.changed != before_.changed;
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
    const state now = file_state(full_name_);
    if (now.attributes & FILE_ATTRIBUTE_DIRECTORY) return "that is a folder";
    if (now.attributes & FILE_ATTRIBUTE_READONLY) return "the file is read-only";
    return "the file could not be written there (no permission, the file is open in another program, or the "
           "disk is full)";
}

bool is_empty_picture(const std::string& path) {
    const file_handle file = open_file(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    unsigned char header[26] = {};
    DWORD got = 0;
    if (!file || !ReadFile(file.get(), header, sizeof header, &got, nullptr) || got != sizeof header) return false;
    auto field = [&](int at) {
        return std::int32_t(std::uint32_t(header[at]) | std::uint32_t(header[at + 1]) << 8 |
                            std::uint32_t(header[at + 2]) << 16 | std::uint32_t(header[at + 3]) << 24);
    };
    return header[0] == 'B' && header[1] == 'M' && (field(18) == 0 || field(22) == 0);
}
