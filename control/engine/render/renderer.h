// The software renderer: a z-buffered rasteriser drawing a model, a grid,
// axes and the rest into a 32-bit frame. Plain C++ (no Windows headers).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

// The prepared form holds the model's triangles as they are drawn, so the
// model need not hold them too while it is shown (its corners are its
// largest part): release_triangles empties the model's corners and triangle
// materials; restore_triangles puts them back from what was prepared from
// it, before the model is prepared again with other settings. Triangles the
// prepared form left out (a corner not finite, or out of range) do not come
// back: nothing would draw them. Restoring may run out of memory
// (std::bad_alloc), and then leaves the model as it was.
void release_triangles(model& m);
void restore_triangles(model& m, const prepared_model& p);

// prepare_model, then release_triangles, with the triangles held once on
// the way: the prepared form is the same, the peak lower by the triangles.
// Null when memory runs out, and then the model's triangles are spoilt:
// the caller drops the model.
std::shared_ptr<const prepared_model> prepare_releasing_triangles(model& m, bool smoothing, float crease_angle_degrees);

// Why a GRIDSIZE of `requested` leaves the picture as it was, in words for
// the message line ("GridSize 0.001 is too fine ..."): no grid is shown, the
// grid would need too many lines and keeps its own spacing, or the spacing is
// wider than the floor around the model. Empty when the grid is drawn
// `requested` apart, and for 0 or less (the automatic spacing).
std::string grid_size_note(const prepared_model* prepared, const view_settings& settings, float requested);

// Vertex dots (render mode points, SHOWVERTEXES, a model's own points) are
// squares of this many pixels a side in a frame of the given size: the
// smaller side / 100, rounded, at least 4 and at most 9 (4 up to 449 pixels,
// 5 from 450, 6 from 550, ... 9 from 850).
int dot_size_for(int frame_width, int frame_height);

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
