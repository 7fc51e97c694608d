#include "viewer/bitmap_file_layout.h"

#include <cstring>

namespace {

void put16(unsigned char* at, std::uint16_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void put32(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

bool bitmap_pixel_bytes(std::int32_t width, std::int32_t height, std::uint32_t& bytes) {
    if (width < 0 || height < 0) return false;
    const std::uint64_t count = 4ull * static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (count > 0xFFFFFFFFull - bitmap_pixel_offset) return false;
    bytes = static_cast<std::uint32_t>(count);
    return true;
}

void fill_bitmap_info_header(unsigned char (&header)[bitmap_info_header_size], std::int32_t width,
                             std::int32_t height) {
    std::memset(header, 0, sizeof header);
    put32(header + 0, bitmap_info_header_size);
    put32(header + 4, static_cast<std::uint32_t>(width));
    put32(header + 8, static_cast<std::uint32_t>(height));
    put16(header + 12, 1);   // planes
    put16(header + 14, 32);  // bits per pixel; compression 0 is BI_RGB
}

void fill_bitmap_file_header(unsigned char (&header)[bitmap_file_header_size], std::uint32_t pixel_bytes) {
    std::memset(header, 0, sizeof header);
    header[0] = 'B';
    header[1] = 'M';
    put32(header + 2, bitmap_pixel_offset + pixel_bytes);
    put32(header + 10, bitmap_pixel_offset);
}
