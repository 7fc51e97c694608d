// Non-finite numbers (NaN, infinities) in what the engine is given: whether
// a point or vector is usable, and a fallback for a number that is not.
#pragma once

#include <cmath>

#include <glm/glm.hpp>

namespace engine {

inline bool all_finite(const glm::vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

inline float finite_or(float value, float fallback) { return std::isfinite(value) ? value : fallback; }

}  // namespace engine
