// Model and picture files. Every loader fails cleanly: on failure the model
// is left empty and the message is one readable line saying what failed.
// The file functions put the file's name in front of the message and the
// warning ("cube.stl: ..."); the functions reading from memory have no name
// to give.
//
// Coordinates that are NaN or infinite (or overflow a float): the triangles,
// lines and points using them are left out, said in `warning`; a file with
// nothing else fails. (In an OBJ, a coordinate that is not a number, "nan"
// or "1.#QNAN", counts as NaN; one that is missing, as in "v 1 2", as 0.)
//
// A file that ends early loads what it holds whole before the end, and the
// warning begins "the file ends early, ... read": the binary STL triangles,
// PLY vertices and faces, or ASCII STL facets before the end; in an OBJ, all
// lines but a last one without a line end that cannot be a whole statement
// ("f 1 2", "v 1.0 2.", "f 1/1 2/"). Where nothing whole is left, it fails.
#pragma once

#include <cstddef>
#include <string>

#include "control/engine/model/scene.h"

namespace engine {

struct load_outcome {
    bool ok = false;
    std::string message;  // empty when ok; otherwise e.g. "cube.stl: is empty"
    // When ok, one line on what was left out or not found, for the viewer to
    // show over the model; often empty. What the picture misses most comes
    // first: "pond.0.ply: the file ends early, 70048 of 70051 vertices read",
    // "box.obj: texture wood.png could not be opened (missing or not readable)".
    std::string warning;
};

// Upper limit on triangles a file may bring, so that a header that promises a
// billion cannot exhaust memory.
inline constexpr std::size_t max_triangles = 20'000'000;

// Larger model files are refused before reading. OBJ, STL and PLY files are
// read a window of about a megabyte at a time; a .glb its JSON chunk, then
// its binary chunk once, straight into its buffer; other glTF files whole
// (for their JSON parser).
inline constexpr std::size_t max_model_file_bytes = std::size_t(1) << 30;

// Pictures larger than this are refused before decoding: a side longer than
// max_picture_side, or more pixels than max_picture_pixels (256 MB decoded,
// in a 32-bit process that has 2 GB in all).
inline constexpr int max_picture_side = 16384;
inline constexpr std::size_t max_picture_pixels = std::size_t(64) << 20;

// By the file's extension (.obj, .stl, .ply, .gltf, .glb; any case); for an
// unknown extension, and between the two glTF forms, the content decides.
load_outcome load_model_file(const std::string& path, model& out);

// From memory, for tests and fuzzers. `base_folder` is where an OBJ's
// material libraries and textures are looked up ("" = none are read); a
// missing library or texture is a warning, not a failure. Polygons are cut
// into triangles; corners at the same place in an STL file, or in a PLY file
// without vertex colours, share one position (so smooth shading crosses them).
load_outcome load_obj(const char* text, std::size_t size, const std::string& base_folder, model& out);
load_outcome load_stl(const unsigned char* bytes, std::size_t size, model& out);
load_outcome load_ply(const unsigned char* bytes, std::size_t size, model& out);
// glTF 2.0, JSON or binary (by the content). Buffers and pictures are read
// from `base_folder` ("" = only what the file itself holds is read).
// `pixel_limit` lowers max_picture_pixels for all its pictures together.
load_outcome load_gltf(const unsigned char* bytes, std::size_t size, const std::string& base_folder, model& out,
                       std::size_t pixel_limit = max_picture_pixels);

// BMP, PNG or JPEG (what stb_image reads).
load_outcome load_picture_file(const std::string& path, picture& out);
// `pixel_limit` lowers max_picture_pixels (fuzzing uses it to stay fast).
load_outcome load_picture(const unsigned char* bytes, std::size_t size, picture& out,
                          std::size_t pixel_limit = max_picture_pixels);

}  // namespace engine
