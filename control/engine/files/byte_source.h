// A model file's bytes as the loaders read them: from an open file, a window
// at a time, or from memory (tests and fuzzers), through the same loader
// code. Internal to the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace engine::loading {

// How much of a file a reader holds at once, unless a single token or line
// needs more (byte_window, token_stream).
inline constexpr std::size_t default_window_bytes = std::size_t(1) << 20;

// Bytes of a known size, read at any offset: a file or a block of memory.
class byte_source {
public:
    // Memory the caller keeps alive while the source is read.
    byte_source(const unsigned char* bytes, std::size_t size) : memory_(bytes), size_(size) {}

    // A regular file of at most `limit` bytes, checked as read_file checks it
    // (file_reading.h) before a byte is read; false with `error` set.
    bool open(const std::string& path, std::uint64_t limit, std::string& error);

    std::uint64_t size() const { return size_; }
    // Copies `count` bytes at `offset` (inside size()) into `into`. False
    // when the file could not be read there (it shrank, a read error); the
    // source then stays failed.
    bool read(std::uint64_t offset, unsigned char* into, std::size_t count);
    bool failed() const { return failed_; }

    // How much a reader of this source holds at once; tests make it small to
    // cut tokens, lines and records at every place.
    std::size_t window_bytes() const { return window_bytes_; }
    void set_window_bytes(std::size_t bytes) { window_bytes_ = bytes > 0 ? bytes : 1; }

private:
    struct file_closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    const unsigned char* memory_ = nullptr;
    std::unique_ptr<std::FILE, file_closer> file_;
    std::uint64_t size_ = 0;
    std::uint64_t file_position_ = 0;  // where the next fread reads, saving a seek
    bool failed_ = false;
    std::size_t window_bytes_ = default_window_bytes;
};

}  // namespace engine::loading
