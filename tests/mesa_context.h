// Mesa's llvmpipe as a peer of the software renderer, through OSMesa: a
// context drawing into memory, and the smooth-shading normals the renderer
// works out for a model, so that both sides light the same surface.
// Shared by the oracle test and the render benchmark (Debian: libosmesa6-dev).
#pragma once

#define GL_GLEXT_PROTOTYPES
#include <GL/gl.h>
#include <GL/glext.h>
#include <GL/osmesa.h>

#include <cstdint>
#include <vector>

#include "control/engine/model/scene.h"

namespace mesa_peer {

enum class profile { compatibility, core_3_3 };

// A current OSMesa context over `pixels` (rows bottom-up, bytes B, G, R, A):
// fixed-function GL in the compatibility profile, GL 3.3 in the core one.
// Destroyed with the object; ok() is false when Mesa gave none.
class context {
public:
    context(int width, int height, profile p) : pixels(std::size_t(width) * height) {
        const int core = p == profile::core_3_3;
        const int attributes[] = {OSMESA_FORMAT, OSMESA_BGRA, OSMESA_DEPTH_BITS, 24,
                                  OSMESA_PROFILE, core ? OSMESA_CORE_PROFILE : OSMESA_COMPAT_PROFILE,
                                  OSMESA_CONTEXT_MAJOR_VERSION, core ? 3 : 1,
                                  OSMESA_CONTEXT_MINOR_VERSION, core ? 3 : 0, 0};
        context_ = OSMesaCreateContextAttribs(attributes, nullptr);
        current_ = context_ && OSMesaMakeCurrent(context_, pixels.data(), GL_UNSIGNED_BYTE, width, height);
    }
    ~context() {
        if (context_) OSMesaDestroyContext(context_);
    }
    context(const context&) = delete;
    context& operator=(const context&) = delete;

    bool ok() const { return current_; }

    std::vector<std::uint32_t> pixels;

private:
    OSMesaContext context_ = nullptr;
    bool current_ = false;
};

// One unit normal per position: the sum of the cross products (twice the
// area times the normal) of the triangles around it, as the renderer
// smooths where no crease is sharper than its crease angle.
inline std::vector<glm::vec3> area_weighted_normals(const engine::mesh& g) {
    std::vector<glm::vec3> n(g.positions.size(), glm::vec3(0.0f));
    for (std::size_t t = 0; t < g.triangle_count(); ++t) {
        const glm::vec3& a = g.positions[g.corners[3 * t].position];
        const glm::vec3 face =
            glm::cross(g.positions[g.corners[3 * t + 1].position] - a, g.positions[g.corners[3 * t + 2].position] - a);
        for (int k = 0; k < 3; ++k) n[g.corners[3 * t + k].position] += face;
    }
    for (glm::vec3& v : n) v = glm::length(v) > 0 ? glm::normalize(v) : glm::vec3(0, 1, 0);
    return n;
}

}  // namespace mesa_peer
