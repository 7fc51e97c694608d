#include "control/engine/model/scene.h"

namespace engine {

void compute_bounds(model& m) {
    const mesh& g = m.geometry;
    bool any = false;
    auto include = [&](std::uint32_t index) {
        if (index >= g.positions.size()) return;
        const glm::vec3& p = g.positions[index];
        if (!any) {
            m.bounds_min = m.bounds_max = p;
            any = true;
        } else {
            m.bounds_min = glm::min(m.bounds_min, p);
            m.bounds_max = glm::max(m.bounds_max, p);
        }
    };
    for (const corner& c : g.corners) include(c.position);
    for (std::uint32_t index : g.lines) include(index);
    for (std::uint32_t index : g.points) include(index);
    if (!any) m.bounds_min = m.bounds_max = glm::vec3(0.0f);
}

}  // namespace engine
