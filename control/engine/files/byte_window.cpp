#include "control/engine/files/byte_window.h"

#include <algorithm>
#include <cstring>

namespace engine::loading {

byte_window::byte_window(byte_source& source, std::uint64_t begin, std::uint64_t end)
    : source_(source), next_(std::min(begin, source.size())), end_(std::clamp(end, next_, source.size())) {}

std::string first_after_blanks(byte_source& source, std::size_t count) {
    byte_window window(source, 0, source.size());
    for (;;) {
        std::size_t blanks = 0;
        const unsigned char* bytes = window.data();
        while (blanks < window.available() && (bytes[blanks] == ' ' || bytes[blanks] == '\t' ||
                                               bytes[blanks] == '\r' || bytes[blanks] == '\n'))
            ++blanks;
        window.consume(blanks);
        if (window.available() > 0 || !window.fill(1)) break;
    }
    window.fill(count);
    return std::string(reinterpret_cast<const char*>(window.data()), std::min(count, window.available()));
}

bool byte_window::fill(std::size_t count) {
    if (available() >= count) return true;
    if (exhausted()) return false;
    const std::size_t held = available();
    // No more room than the rest of the bytes need: a small file takes a small buffer.
    const std::uint64_t left = held + (end_ - next_);
    const std::size_t room = static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(count, source_.window_bytes()), left));
    if (buffer_.size() < room) {
        // Grown only for a record, token or line longer than the window:
        // the new buffer takes the held bytes, the old one goes.
        std::vector<unsigned char> larger(room);
        if (held > 0) std::memcpy(larger.data(), data(), held);
        buffer_.swap(larger);
    } else if (start_ > 0 && held > 0) {
        std::memmove(buffer_.data(), data(), held);
    }
    start_ = 0;
    filled_ = held;
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(room - held, end_ - next_));
    if (!source_.read(next_, buffer_.data() + filled_, wanted)) {
        next_ = end_;  // a failed source reads nothing more; its loader says so
        return false;
    }
    next_ += wanted;
    filled_ += wanted;
    return available() >= count;
}

}  // namespace engine::loading
