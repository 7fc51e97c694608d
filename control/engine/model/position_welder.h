// Corners at identical positions merged into one position, so that smooth
// shading can share a normal across triangles (STL repeats every corner).
// Internal to the loaders.
#pragma once

#include <cstdint>
#include <vector>

#include <glm/glm.hpp>

namespace engine::loading {

// `positions` starts empty and grows only through index_of. Beside the
// positions the welder holds a table of 2 to 4 slots of 4 bytes per
// position (its peak is that plus the positions' growth by doubling).
class position_welder {
public:
    explicit position_welder(std::vector<glm::vec3>& positions) : positions_(positions) {}
    std::uint32_t index_of(const glm::vec3& p);
    // Frees the table once no more positions come; they keep their indices.
    void release();

private:
    std::size_t first_slot(const glm::vec3& p) const;
    void grow();

    std::vector<glm::vec3>& positions_;
    std::vector<std::uint32_t> slots_;  // position index + 1; 0 is empty
};

}  // namespace engine::loading
