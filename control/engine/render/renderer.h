// The software renderer: a z-buffered rasteriser drawing a model, a grid,
// axes and the rest into a 32-bit frame. Plain C++ (no Windows headers).
#pragma once

#include <cstdint>
#include <memory>

#include "control/engine/render/camera.h"
#include "control/engine/model/scene.h"
#include "control/engine/render/view_settings.h"

namespace engine {

// A frame to draw into: `pixels` rows top-down, `stride` pixels apart, each
// 0x00RRGGBB (the byte order of a 32-bit DIB: blue, green, red, unused).
struct frame {
    int width = 0;
    int height = 0;
    int stride = 0;
    std::uint32_t* pixels = nullptr;
};

// What a model turns into for drawing (normals split at the crease angle);
// made again only when the model or the smoothing settings change. It keeps a
// pointer to `m` and reads it while drawing: the model must outlive it and
// must not change while it exists. Null when memory runs out.
class prepared_model;
std::shared_ptr<const prepared_model> prepare_model(const model& m, bool smoothing, float crease_angle_degrees);

// Draws the scene; `prepared` may be null (no model: background, grid, axes).
// A frame without pixels, or wider or taller than 16384, is left untouched.
// The depth buffer and per-vertex scratch are reused from frame to frame.
// Running out of memory leaves the frame partly drawn.
// With a pool, bands of the frame are drawn on its threads; the picture is
// the same, bit for bit, whatever the number of threads.
class worker_pool;
void render(const prepared_model* prepared, const view_settings& settings, const camera& view, frame& target,
            worker_pool* pool = nullptr);

}  // namespace engine
