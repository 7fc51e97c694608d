// The binary glTF container (.glb) as it lies in a file: a 12-byte header
// ("glTF", version, length), then chunks, each an 8-byte header (length,
// type) and its data, the JSON chunk first and the binary chunk next. Read
// here without the binary chunk's data, which the glTF document reads
// straight into its buffer. Internal to the glTF loader.
#pragma once

#include <cstdint>
#include <vector>

#include "control/engine/files/byte_source.h"

namespace engine::gltf {

struct glb_chunks {
    std::vector<unsigned char> json;  // the JSON chunk's data
    std::uint64_t binary_offset = 0;  // where the binary chunk's data begins in the file
    std::uint64_t binary_size = 0;
};

// The chunks of a GLB laid out as tinygltf reads one without a word of
// complaint: version 2, the header's length the file's size, a JSON chunk of
// a whole number of 4 bytes, then a binary chunk of at least 4 bytes, a
// whole number of 4, inside the file. False for any other file (and when
// the file could not be read): such a file is read whole, to be refused or
// read as it always was.
bool read_glb_chunks(loading::byte_source& source, glb_chunks& out);

}  // namespace engine::gltf
