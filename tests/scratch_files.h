// Files the Windows tests write and read back. Each test program run gets a
// folder of its own under the temporary folder, named after the program and
// its process id, so runs side by side (or a reused id's leftovers, which
// tests remove before they write) cannot mix their files.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace scratch_files {

// The system's temporary folder, ending in a backslash.
inline std::string temp_folder() {
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    return temp;
}

// "<temp>\quelto-<program>-<process id>\", made on first use.
inline std::string folder(const char* program) {
    const std::string path =
        temp_folder() + "quelto-" + program + "-" + std::to_string(GetCurrentProcessId()) + "\\";
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

inline bool exists(const std::string& name) { return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline std::string read_text(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::vector<unsigned char> read_bytes(const std::string& name) {
    const std::string text = read_text(name);
    return {text.begin(), text.end()};
}

inline void write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
}

}  // namespace scratch_files
