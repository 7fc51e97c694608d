// Reading a file whole into memory, and numbers from its bytes. Internal to
// the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace engine::loading {

// Reads a regular file of at most `limit` bytes. Uses C stdio, so a name is
// taken in the system's code page as the rest of the control passes it.
// Names with a NUL character and names of devices ("CON", "nul.obj", "COM1",
// "\\.\..."; on every system) are refused without being opened, anything
// else but a regular file before a byte is read.
bool read_file(const std::string& path, std::size_t limit, std::vector<unsigned char>& bytes,
               std::string& error);

// The same checks without the reading: the file opened for binary reading,
// positioned at its start, with its `size`; or nullptr with `error` set
// (the same messages). The caller closes it.
std::FILE* open_regular_file(const std::string& path, std::uint64_t limit, std::uint64_t& size, std::string& error);

// Little-endian reads from a byte array the caller has checked the size of.
inline std::uint32_t read_u32_le(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace engine::loading
