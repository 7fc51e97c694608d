#include "control/engine/files/file_paths.h"

#include <algorithm>
#include <cctype>

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

std::string refusal_of(const std::string& name) {
    if (has_prefix(name, "\\\\?\\") || has_prefix(name, "\\\\.\\") || has_prefix(name, "\\??\\"))
        return "is in the system's device namespace, which a model may not name";
    if (has_prefix(name, "\\\\")) return "is a network name, which a model may not name (only files on this computer)";
    // A scheme: a letter, then letters, digits, '+', '-' or '.', then ':';
    // one letter is a drive.
    std::size_t colon = 0;
    while (colon < name.size() && (std::isalnum(static_cast<unsigned char>(name[colon])) || name[colon] == '+' ||
                                   name[colon] == '-' || name[colon] == '.'))
        ++colon;
    if (colon >= 2 && colon < name.size() && name[colon] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
        return "is a URL, which a model may not name (only files on this computer)";
    if (names_a_device(name)) return "is a device, not a file";
    return {};
}

std::string percent_decoded(const std::string& uri) {
    auto hex = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    std::string text;
    for (std::size_t i = 0; i < uri.size(); ++i) {
        if (uri[i] == '%' && i + 2 < uri.size() && hex(uri[i + 1]) >= 0 && hex(uri[i + 2]) >= 0) {
            text += static_cast<char>(hex(uri[i + 1]) * 16 + hex(uri[i + 2]));
            i += 2;
        } else {
            text += uri[i];
        }
    }
    return text;
}

std::vector<std::string> candidate_paths(const std::string& folder, std::string name) {
#ifndef _WIN32
    std::replace(name.begin(), name.end(), '\\', '/');
#endif
    const std::string bare = folder + file_name_of(name);
    std::vector<std::string> paths;
    if (!refusal_of(name).empty()) {
        if (refusal_of(file_name_of(name)).empty() && !file_name_of(name).empty()) paths.push_back(bare);
        return paths;
    }
    if (is_absolute(name)) {
        paths.push_back(bare);
        if (name != bare) paths.push_back(name);
    } else {
        paths.push_back(folder + name);
        if (bare != paths.front()) paths.push_back(bare);
    }
    return paths;
}

std::string normalised_path(const std::string& path) {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    // The root: "\\host\share\", "C:\", "\", "C:" (the drive's current folder) or nothing.
    std::size_t at = 0;
    std::string root;
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        at = 2;
        for (int part = 0; part < 2; ++part) {
            while (at < path.size() && !is_separator(path[at])) ++at;
            if (part == 0 && at < path.size()) ++at;
        }
        root = path.substr(0, at);
        std::replace_if(root.begin(), root.end(), is_separator, separator);
        root += separator;
    } else {
        if (path.size() >= 2 && path[1] == ':') root = path.substr(0, 2), at = 2;
        if (at < path.size() && is_separator(path[at])) root += separator, ++at;
    }
    std::vector<std::string> kept;
    std::size_t leading_ups = 0;  // a relative path keeps the ".." it cannot resolve
    while (at <= path.size()) {
        std::size_t end = at;
        while (end < path.size() && !is_separator(path[end])) ++end;
        const std::string segment = path.substr(at, end - at);
        if (segment == "..") {
            if (!kept.empty()) kept.pop_back();
            else if (root.empty()) ++leading_ups;
        } else if (!segment.empty() && segment != ".") {
            kept.push_back(segment);
        }
        at = end + 1;
    }
    std::string result = root;
    for (std::size_t i = 0; i < leading_ups; ++i) result += std::string("..") + separator;
    for (std::size_t i = 0; i < kept.size(); ++i) result += (i ? std::string(1, separator) : "") + kept[i];
    return result;
}

std::string file_key(const std::string& path) {
    std::string key = normalised_path(path);
#ifdef _WIN32
    for (char& c : key) c = ascii_lower(c);
#endif
    return key;
}

}  // namespace engine::loading
