#include "control/engine/model/texture_levels.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>

#include "control/engine/srgb.h"

namespace engine {

namespace {

// Linear light of each stored byte, and the byte of each of 16384 steps of
// linear light (fine enough that the darkest colours round as the curve does).
struct srgb_bytes {
    static constexpr int steps = 16384;
    std::array<float, 256> linear{};
    std::array<std::uint8_t, steps + 1> encoded{};

    srgb_bytes() {
        for (int i = 0; i < 256; ++i) linear[std::size_t(i)] = srgb_to_linear(float(i) / 255.0f);
        for (int i = 0; i <= steps; ++i)
            encoded[std::size_t(i)] = std::uint8_t(255.0f * linear_to_srgb(float(i) / steps) + 0.5f);
    }
    std::uint32_t encode(float value) const {
        return encoded[std::size_t(std::clamp(value, 0.0f, 1.0f) * steps + 0.5f)];
    }
};

const srgb_bytes& table() {
    static const srgb_bytes t;
    return t;
}

std::uint32_t byte_at(std::uint32_t pixel, int shift) { return (pixel >> shift) & 0xFFu; }

// The average of four 0xAARRGGBB texels.
std::uint32_t average(const std::uint32_t (&q)[4], texel_meaning meaning) {
    std::uint32_t out = 0;
    for (int shift : {0, 8, 16, 24}) {
        std::uint32_t value;
        if (meaning == texel_meaning::colour && shift != 24) {
            const srgb_bytes& t = table();
            float sum = 0.0f;
            for (std::uint32_t texel : q) sum += t.linear[byte_at(texel, shift)];
            value = t.encode(0.25f * sum);
        } else {
            value = (byte_at(q[0], shift) + byte_at(q[1], shift) + byte_at(q[2], shift) + byte_at(q[3], shift) + 2) / 4;
        }
        out |= value << shift;
    }
    return out;
}

picture halved(const picture& from, texel_meaning meaning) {
    picture to;
    to.width = std::max(1, from.width / 2);
    to.height = std::max(1, from.height / 2);
    to.pixels.resize(std::size_t(to.width) * std::size_t(to.height));
    for (int y = 0; y < to.height; ++y) {
        // A side of one texel is kept, not halved: its two texels are one.
        const std::size_t top = std::size_t(std::min(2 * y, from.height - 1)) * std::size_t(from.width);
        const std::size_t bottom = std::size_t(std::min(2 * y + 1, from.height - 1)) * std::size_t(from.width);
        for (int x = 0; x < to.width; ++x) {
            const std::size_t left = std::size_t(std::min(2 * x, from.width - 1));
            const std::size_t right = std::size_t(std::min(2 * x + 1, from.width - 1));
            const std::uint32_t q[4] = {from.pixels[top + left], from.pixels[top + right], from.pixels[bottom + left],
                                        from.pixels[bottom + right]};
            to.pixels[std::size_t(y) * std::size_t(to.width) + std::size_t(x)] = average(q, meaning);
        }
    }
    return to;
}

}  // namespace

void make_levels(picture& p, texel_meaning meaning) {
    p.levels.clear();
    if (p.empty() || p.pixels.size() < std::size_t(p.width) * std::size_t(p.height)) return;
    try {
        const picture* from = &p;
        while (from->width > 1 || from->height > 1) {
            p.levels.push_back(halved(*from, meaning));
            from = &p.levels.back();
        }
        p.levels.shrink_to_fit();
    } catch (const std::bad_alloc&) {
        p.levels.clear();
        p.levels.shrink_to_fit();
    }
}

void make_texture_levels(model& m) {
    std::vector<char> colour(m.textures.size(), 0);
    for (const material& mat : m.materials)
        for (int index : {mat.diffuse_texture, mat.emissive_texture})
            if (index >= 0 && std::size_t(index) < colour.size()) colour[std::size_t(index)] = 1;
    for (std::size_t i = 0; i < m.textures.size(); ++i)
        make_levels(m.textures[i], colour[i] ? texel_meaning::colour : texel_meaning::data);
}

}  // namespace engine
