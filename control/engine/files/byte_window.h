// A byte_source read front to back through one buffer: the part not yet
// used is carried to the buffer's front and the rest refilled, so that a
// record, token or line cut by the end of one read is whole in the next.
// Internal to the loaders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control/engine/files/byte_source.h"

namespace engine::loading {

class byte_window {
public:
    // The bytes of `source` from `begin` to `end`, the source's window_bytes() at a time.
    byte_window(byte_source& source, std::uint64_t begin, std::uint64_t end);

    const unsigned char* data() const { return buffer_.data() + start_; }
    std::size_t available() const { return filled_ - start_; }
    // Where data() is in the source.
    std::uint64_t offset() const { return next_ - (filled_ - start_); }
    std::uint64_t end() const { return end_; }
    // Nothing beyond what is held: the window's end is reached, or the source failed.
    bool exhausted() const { return next_ == end_ || source_.failed(); }
    bool at_end() const { return start_ == filled_ && exhausted(); }

    // Makes at least `count` bytes available (all that are left when fewer
    // are); the buffer grows beyond window_bytes() only for a larger count.
    // Moves what is held: pointers into the data are stale after it.
    // Returns whether `count` bytes are available.
    bool fill(std::size_t count);
    void consume(std::size_t count) { start_ += count; }

private:
    byte_source& source_;
    std::uint64_t next_;  // the source offset of the buffer's filled end
    std::uint64_t end_;
    std::vector<unsigned char> buffer_;
    std::size_t start_ = 0, filled_ = 0;
};

// The first bytes of `source` after any blanks (spaces, tabs, line ends) it
// starts with, however many there are: at most `count` of them.
std::string first_after_blanks(byte_source& source, std::size_t count);

}  // namespace engine::loading
