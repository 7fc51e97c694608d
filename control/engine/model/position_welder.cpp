#include "control/engine/model/position_welder.h"

#include <cmath>
#include <cstring>

namespace engine::loading {

std::uint32_t position_welder::index_of(const glm::vec3& p) {
    // Hash the exact bits; +0 and -0 are the same place.
    std::uint32_t bits[3];
    for (int i = 0; i < 3; ++i) {
        const float value = p[i] == 0.0f ? 0.0f : p[i];
        std::memcpy(&bits[i], &value, sizeof value);
    }
    if ((positions_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::uint32_t hash = bits[0] * 0x9E3779B1u ^ bits[1] * 0x85EBCA77u ^ bits[2] * 0xC2B2AE3Du;
    hash ^= hash >> 15;
    hash *= 0x2C1B3C6Du;
    hash ^= hash >> 12;
    std::size_t slot = hash & mask;
    for (;;) {
        const std::uint32_t entry = slots_[slot];
        if (entry == 0) break;
        const glm::vec3& q = positions_[entry - 1];
        if (std::memcmp(&q, &p, sizeof q) == 0 || (q == p && !std::isnan(p.x)))
            return entry - 1;
        slot = (slot + 1) & mask;
    }
    positions_.push_back(p);
    slots_[slot] = static_cast<std::uint32_t>(positions_.size());
    return static_cast<std::uint32_t>(positions_.size() - 1);
}

void position_welder::grow() {
    std::size_t size = slots_.empty() ? 1024 : slots_.size() * 2;
    slots_.assign(size, 0);
    // Re-insert what is there: positions are unique by construction.
    std::vector<glm::vec3> existing;
    existing.swap(positions_);
    positions_.reserve(existing.capacity());
    for (const glm::vec3& p : existing) index_of(p);
}

}  // namespace engine::loading
