#include "control/engine/files/file_reading.h"

#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "control/engine/files/file_paths.h"

namespace engine::loading {

namespace {

struct file_closer {
    std::FILE* file;
    ~file_closer() {
        if (file) std::fclose(file);
    }
};

}  // namespace

std::FILE* open_regular_file(const std::string& path, std::uint64_t limit, std::uint64_t& size, std::string& error) {
    size = 0;
    // The system would open the name only up to the NUL: another file.
    if (path.find('\0') != std::string::npos) {
        error = "has a NUL character in its name";
        return nullptr;
    }
    // A folder or a device opens fine on some systems and then reads
    // forever or nothing; only regular files are read. A device is refused
    // by its name before opening, since opening one (a serial port) can wait
    // too; what the name does not give away, the opened file's type does.
    if (names_a_device(path)) {
        error = "is a device, not a file";
        return nullptr;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && (status.st_mode & S_IFMT) != S_IFREG) {
        error = "is not a file";
        return nullptr;
    }
    file_closer file{std::fopen(path.c_str(), "rb")};
    if (!file.file) {
        error = "could not be opened (missing or not readable)";
        return nullptr;
    }
    if (::fstat(fileno(file.file), &status) != 0 || (status.st_mode & S_IFMT) != S_IFREG) {
        error = "is not a file";
        return nullptr;
    }
    if (std::fseek(file.file, 0, SEEK_END) != 0) {
        error = "could not be read";
        return nullptr;
    }
    const long end = std::ftell(file.file);
    if (end < 0 || static_cast<unsigned long>(end) > limit) {
        error = "is larger than the limit of " + std::to_string(limit >> 20) + " MB";
        return nullptr;
    }
    if (std::fseek(file.file, 0, SEEK_SET) != 0) {
        error = "could not be read";
        return nullptr;
    }
    size = static_cast<std::uint64_t>(end);
    std::FILE* opened = file.file;
    file.file = nullptr;  // handed to the caller
    return opened;
}

bool read_file(const std::string& path, std::size_t limit, std::vector<unsigned char>& bytes, std::string& error) {
    bytes.clear();
    std::uint64_t size = 0;
    file_closer file{open_regular_file(path, limit, size, error)};
    if (!file.file) return false;
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    try {
        bytes.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
        error = "is too large to be read into memory";
        return false;
    }
#else
    bytes.resize(static_cast<std::size_t>(size));
#endif
    if (size > 0 && std::fread(bytes.data(), 1, bytes.size(), file.file) != bytes.size()) {
        bytes.clear();
        error = "could not be read whole";
        return false;
    }
    return true;
}

}  // namespace engine::loading
