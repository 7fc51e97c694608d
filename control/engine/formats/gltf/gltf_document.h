// A glTF 2.0 file parsed by Debian's tinygltf, with the files it names read
// through the engine's own file reading and its pictures decoded by the
// engine's picture loader. Internal to the glTF loader.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "control/engine/formats/gltf/tinygltf_configured.h"

#include "control/engine/model/scene.h"

namespace engine::gltf {

struct document {
    tinygltf::Model parsed;
    // Per entry of parsed.images: the decoded picture (empty when it could
    // not be had) and, then, why: "wood.png could not be opened (missing or
    // not readable)".
    std::vector<picture> pictures;
    std::vector<std::string> picture_problems;
};

// JSON (.gltf) or binary (.glb, by its magic) glTF. Buffers and pictures
// named by a relative path are read from `base_folder`, never from anywhere
// else, and not at all when it is "". Pictures decode only while their
// pixels together stay within `pixel_limit`. On failure, `error` is one line.
bool parse(const unsigned char* bytes, std::size_t size, const std::string& base_folder, std::size_t pixel_limit,
           document& out, std::string& error);

// Whether the viewer honours (or can do without) an extension a file requires.
bool understood(const std::string& extension);

// The first extension a file requires that the viewer does not understand, or "".
std::string first_not_understood(const std::vector<std::string>& required);

}  // namespace engine::gltf
