// Model and picture files. Every loader fails cleanly: on failure the model
// is left empty and the message is one readable line saying what failed.
#pragma once

#include <cstddef>
#include <string>

#include "control/engine/scene.h"

namespace engine {

struct load_outcome {
    bool ok = false;
    std::string message;  // empty when ok; otherwise e.g. "cube.stl: truncated after 12 of 5000 triangles"
};

// Upper limit on triangles a file may bring, so that a header that promises a
// billion cannot exhaust memory.
inline constexpr std::size_t max_triangles = 20'000'000;

// By the file's extension (.obj, .stl, .ply; any case); for an unknown
// extension the content decides.
load_outcome load_model_file(const std::string& path, model& out);

// From memory, for tests and fuzzers. `base_folder` is where an OBJ's
// material libraries and textures are looked up ("" = none are read).
load_outcome load_obj(const char* text, std::size_t size, const std::string& base_folder, model& out);
load_outcome load_stl(const unsigned char* bytes, std::size_t size, model& out);
load_outcome load_ply(const unsigned char* bytes, std::size_t size, model& out);

// BMP, PNG or JPEG (what stb_image reads).
load_outcome load_picture_file(const std::string& path, picture& out);
load_outcome load_picture(const unsigned char* bytes, std::size_t size, picture& out);

}  // namespace engine
