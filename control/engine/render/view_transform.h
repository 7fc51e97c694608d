// The camera as the renderer uses it: world points to homogeneous pixel
// coordinates (X, Y, W), the pixel being (X / W, Y / W) and W the distance
// along the view direction. Depth is stored as 1 / W, so no far plane exists.
#pragma once

#include "control/engine/render/camera.h"

namespace engine {

struct view_transform {
    glm::vec3 eye{0.0f};
    glm::vec3 forward{0.0f, 0.0f, -1.0f};
    glm::vec3 right{1.0f, 0.0f, 0.0f};
    glm::vec3 up{0.0f, 1.0f, 0.0f};
    float focal = 1.0f;  // pixels per unit of (sideways offset / distance)
    float distance = 5.0f;  // from the eye to the target
    // Rows of the 3x4 matrix taking (p, 1) to (X, Y, W).
    glm::vec4 row_x{0.0f}, row_y{0.0f}, row_w{0.0f};

    glm::vec3 apply(const glm::vec3& p) const {
        return {row_x.x * p.x + row_x.y * p.y + row_x.z * p.z + row_x.w,
                row_y.x * p.x + row_y.y * p.y + row_y.z * p.z + row_y.w,
                row_w.x * p.x + row_w.y * p.y + row_w.z * p.z + row_w.w};
    }
};

// Out-of-range camera fields are read as the nearest sensible value.
view_transform make_view_transform(const camera& view, int frame_width, int frame_height);

}  // namespace engine
