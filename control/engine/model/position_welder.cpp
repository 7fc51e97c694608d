#include "control/engine/model/position_welder.h"

#include <cmath>
#include <cstring>

namespace engine::loading {

std::size_t position_welder::first_slot(const glm::vec3& p) const {
    // Hash the exact bits; +0 and -0 are the same place.
    std::uint32_t bits[3];
    for (int i = 0; i < 3; ++i) {
        const float value = p[i] == 0.0f ? 0.0f : p[i];
        std::memcpy(&bits[i], &value, sizeof value);
    }
    std::uint32_t hash = bits[0] * 0x9E3779B1u ^ bits[1] * 0x85EBCA77u ^ bits[2] * 0xC2B2AE3Du;
    hash ^= hash >> 15;
    hash *= 0x2C1B3C6Du;
    hash ^= hash >> 12;
    return hash & (slots_.size() - 1);
}

std::uint32_t position_welder::index_of(const glm::vec3& p) {
    if ((positions_.size() + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = first_slot(p);
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

void position_welder::release() { std::vector<std::uint32_t>().swap(slots_); }

void position_welder::grow() {
    std::size_t size = slots_.empty() ? 1024 : slots_.size() * 2;
    while ((positions_.size() + 1) * 2 > size) size *= 2;  // after release()
    // The old table goes before the new one comes, and the positions are
    // entered again where they lie: they are unique by construction.
    release();
    slots_.assign(size, 0);
    const std::size_t mask = size - 1;
    for (std::size_t i = 0; i < positions_.size(); ++i) {
        std::size_t slot = first_slot(positions_[i]);
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = static_cast<std::uint32_t>(i + 1);
    }
}

}  // namespace engine::loading
