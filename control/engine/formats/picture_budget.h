// What the pictures of one model may take together, in every format: decoded
// pixels within an allowance that grows with the bytes the pictures take in
// their files, so that a small picture file that unpacks to gigabytes (a PNG
// of one colour, 16384 pixels square) cannot exhaust the control's memory,
// while the textures of a real model (mostly a few pixels per byte) load as
// they are. Internal to the loaders.
#pragma once

#include <cstddef>

#include "control/engine/formats/model_loaders.h"

namespace engine::loading {

// Pixels every model may decode, whatever its pictures' files weigh: 16
// million (64 MB), four textures of 2048 x 2048 or one of 4096 x 4096.
inline constexpr std::size_t picture_pixels_always = std::size_t(16) << 20;
// And beyond that, per byte of picture file read.
inline constexpr std::size_t picture_pixels_per_file_byte = 16;

class picture_budget {
public:
    // `pixel_cap` lowers max_picture_pixels, the most a model's pictures
    // ever take together.
    explicit picture_budget(std::size_t pixel_cap = max_picture_pixels);

    // Decodes one picture's file bytes within what is left; refused (with
    // load_picture's message) when it does not fit.
    load_outcome decode(const unsigned char* bytes, std::size_t size, picture& out);

    std::size_t pixels_used() const { return used_; }

private:
    std::size_t cap_;
    std::size_t used_ = 0;        // pixels decoded so far
    std::size_t file_bytes_ = 0;  // bytes of the pictures' files seen so far
};

}  // namespace engine::loading
