// The last checks every loaded model goes through. Internal to the loaders.
#pragma once

#include <string>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/model/scene.h"

namespace engine::loading {

// Turns positions without any primitive into a point cloud; leaves out
// triangles, lines and points that use non-finite or missing positions and
// drops the non-finite positions; repairs the optional arrays (colours,
// texture coordinates, materials) and computes the bounds. Fails when nothing
// drawable is left. `warning` is what the loader has to say already; the
// outcome's warning adds what was left out.
load_outcome finish_model(model& m, std::string warning);

}  // namespace engine::loading
