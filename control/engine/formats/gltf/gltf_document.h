// A glTF 2.0 file parsed by Debian's tinygltf, with the files it names read
// through the engine's own file reading and its pictures decoded by the
// engine's picture loader. Internal to the glTF loader.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "control/engine/files/byte_source.h"
#include "control/engine/formats/gltf/tinygltf_configured.h"

#include "control/engine/model/scene.h"

namespace engine::gltf {

struct document {
    tinygltf::Model parsed;
    // Per entry of parsed.images: the decoded picture (empty when it could
    // not be had) and, then, what is wrong with it, said after its name:
    // "could not be opened (missing or not readable)".
    std::vector<picture> pictures;
    std::vector<std::string> picture_problems;
    // Per entry of parsed.images: an earlier image whose picture it shares
    // (the same file, however spelt, or the same buffer view), or -1.
    std::vector<int> same_as;
};

// JSON (.gltf) or binary (.glb, by its magic) glTF. The buffers and pictures
// it names are URI references resolved against `base_folder` as RFC 3986
// resolves them: percent-decoded, with "." and ".." segments taken out by
// their text ("../textures/wood.png" is read from the folder above), never
// above the drive's root. Absolute names, network names, device names and
// URLs other than "data:" are refused, and with `base_folder` "" no file is
// read at all. Each picture file is read and decoded once, however many
// images name it; all pictures share one pixel budget (picture_budget.h,
// at most `pixel_limit`). On failure, `error` is one line.
bool parse(const unsigned char* bytes, std::size_t size, const std::string& base_folder, std::size_t pixel_limit,
           document& out, std::string& error);

// The same from a file. A GLB laid out as usual (glb_container.h), whose
// buffer 0 is its binary chunk, is read without holding the file whole:
// the JSON chunk, then the binary chunk straight into buffer 0, so that the
// chunk is held once. Any other file is read whole and given to parse(),
// and so is one whose model folder is "", which reads no files.
bool parse_file(loading::byte_source& source, const std::string& base_folder, std::size_t pixel_limit,
                document& out, std::string& error);

// Whether the viewer honours (or can do without) an extension a file requires.
bool understood(const std::string& extension);

// The first extension a file requires that the viewer does not understand, or "".
std::string first_not_understood(const std::vector<std::string>& required);

}  // namespace engine::gltf
