#include "control/engine/files/file_paths.h"

#include <algorithm>

#include "control/engine/files/text_tokens.h"

namespace engine::loading {

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool is_absolute(const std::string& path) {
    return (!path.empty() && is_separator(path[0])) || (path.size() > 1 && path[1] == ':');
}

// Whether `path` begins with `prefix`, where a backslash in `prefix` stands
// for either separator and letters match in any case.
bool has_prefix(const std::string& path, const char* prefix) {
    for (std::size_t i = 0; prefix[i]; ++i) {
        if (i >= path.size()) return false;
        if (prefix[i] == '\\' ? !is_separator(path[i]) : ascii_upper(path[i]) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string file_name_of(const std::string& path) {
    const std::size_t end = std::min(path.size(), path.find('\0'));
    std::size_t start = end;
    while (start > 0 && !is_separator(path[start - 1])) --start;
    return path.substr(start, end - start);
}

std::string folder_of(const std::string& path) {
    std::size_t end = path.size();
    while (end > 0 && !is_separator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::string extension_of(const std::string& path) {
    const std::string name = file_name_of(path);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "";
    std::string extension = name.substr(dot);
    for (char& c : extension) c = ascii_lower(c);
    return extension;
}

bool names_a_device(const std::string& path) {
    if (has_prefix(path, "\\\\.\\")) return true;
    std::string rest = path;
    if (has_prefix(path, "\\\\?\\") || has_prefix(path, "\\??\\")) {
        rest = path.substr(4);
        const bool drive = rest.size() >= 2 && rest[1] == ':';
        if (!drive && !has_prefix(rest, "UNC\\")) return true;
    }
    std::string name = file_name_of(rest);
    if (name.size() >= 2 && name[1] == ':') name.erase(0, 2);  // "C:CON"
    name = name.substr(0, name.find_first_of(".:"));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name) c = ascii_upper(c);
    for (const char* reserved : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"})
        if (name == reserved) return true;
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0)) {
        const unsigned char digit = static_cast<unsigned char>(name[3]);
        return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
    }
    return false;
}

std::vector<std::string> candidate_paths(const std::string& folder, std::string name) {
#ifndef _WIN32
    std::replace(name.begin(), name.end(), '\\', '/');
#endif
    std::vector<std::string> paths;
    paths.push_back(is_absolute(name) ? name : folder + name);
    const std::string bare = folder + file_name_of(name);
    if (bare != paths.front()) paths.push_back(bare);
    return paths;
}

}  // namespace engine::loading
