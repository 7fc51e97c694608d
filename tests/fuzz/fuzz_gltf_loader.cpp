// libFuzzer target: glTF JSON or GLB from memory (no file is read beyond
// it), then drawn once, so that what the reader lets through (alpha modes,
// wraps, glow textures, the file's normals) also meets the renderer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/render/renderer.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::model m;
    // A million pixels for all pictures: decoding large ones only costs time.
    const engine::load_outcome outcome = engine::load_gltf(data, size, "", m, std::size_t(1) << 20);
    check_outcome(outcome, m);
    if (!outcome.ok) return 0;
    const auto prepared = engine::prepare_model(m, true, 60.0f);
    std::vector<std::uint32_t> pixels(48 * 32);
    engine::frame target{48, 32, 48, pixels.data()};
    engine::render(prepared.get(), engine::view_settings{}, engine::frame_bounds(m.bounds_min, m.bounds_max), target);
    return 0;
}
