// The snapshot file's layout: a 14-byte file header and a 40-byte info header
// for an uncompressed, bottom-up, 32-bit picture with no colour table, then
// the pixel rows. Plain C++: no Windows headers.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t bitmap_file_header_size = 14;
inline constexpr std::uint32_t bitmap_info_header_size = 40;
inline constexpr std::uint32_t bitmap_pixel_offset = bitmap_file_header_size + bitmap_info_header_size;

// 4 x width x height, the bytes of the pixel rows (32-bit rows need no
// padding); false when a side is negative or the count does not fit in 32
// bits, since the file header could not then describe the file.
bool bitmap_pixel_bytes(std::int32_t width, std::int32_t height, std::uint32_t& bytes);

// Size 40, the width and height given, 1 plane, 32 bits, BI_RGB, all else 0.
void fill_bitmap_info_header(unsigned char (&header)[bitmap_info_header_size], std::int32_t width,
                             std::int32_t height);

// "BM", 54 + pixel bytes, two reserved zeros, pixel offset 54.
void fill_bitmap_file_header(unsigned char (&header)[bitmap_file_header_size], std::uint32_t pixel_bytes);
