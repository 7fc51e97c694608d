#include "control/engine/files/byte_source.h"

#include <cstring>

#include "control/engine/files/file_reading.h"

namespace engine::loading {

bool byte_source::open(const std::string& path, std::uint64_t limit, std::string& error) {
    memory_ = nullptr;
    file_.reset(open_regular_file(path, limit, size_, error));
    file_position_ = 0;
    failed_ = false;
    return file_ != nullptr;
}

bool byte_source::read(std::uint64_t offset, unsigned char* into, std::size_t count) {
    if (failed_ || offset > size_ || count > size_ - offset) return false;
    if (count == 0) return true;
    if (memory_) {
        std::memcpy(into, memory_ + offset, count);
        return true;
    }
    if (!file_) return false;
    // Files are at most max_model_file_bytes (1 GB): a long offset holds them on every system.
    if (offset != file_position_ && std::fseek(file_.get(), static_cast<long>(offset), SEEK_SET) != 0) {
        failed_ = true;
        return false;
    }
    const std::size_t read = std::fread(into, 1, count, file_.get());
    file_position_ = offset + read;
    failed_ = read != count;
    return !failed_;
}

}  // namespace engine::loading
