// Corners at identical positions merged into one position, so that smooth
// shading can share a normal across triangles (STL repeats every corner).
// Internal to the loaders.
#pragma once

#include <cstdint>
#include <vector>

#include <glm/glm.hpp>

namespace engine::loading {

// `positions` starts empty and grows only through index_of.
class position_welder {
public:
    explicit position_welder(std::vector<glm::vec3>& positions) : positions_(positions) {}
    std::uint32_t index_of(const glm::vec3& p);

private:
    void grow();

    std::vector<glm::vec3>& positions_;
    std::vector<std::uint32_t> slots_;  // position index + 1; 0 is empty
};

}  // namespace engine::loading
