// The model loaders of model_loaders.h reading from a byte_source:
// load_model_file hands them the opened file, the functions reading from
// memory a source over that memory, and tests a source with a small window.
// Whatever the source, the same code reads it. A source that fails while it
// is read leaves what the loader made of it; load_model_file says so.
// Internal to the engine.
#pragma once

#include <string>

#include "control/engine/files/byte_source.h"
#include "control/engine/formats/model_loaders.h"

namespace engine {

load_outcome load_obj(loading::byte_source& source, const std::string& base_folder, model& out);
load_outcome load_stl(loading::byte_source& source, model& out);
load_outcome load_ply(loading::byte_source& source, model& out);
// A .gltf or .glb file (by its content).
load_outcome load_gltf_file(loading::byte_source& source, const std::string& base_folder, model& out);

}  // namespace engine
