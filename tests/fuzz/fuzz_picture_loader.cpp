// libFuzzer target: BMP, PNG and JPEG from memory.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "control/engine/formats/model_loaders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::picture p;
    // A million pixels: a small file can claim a large picture whose decoding
    // only costs time, and the fuzzer should spend its time on the parsers.
    const engine::load_outcome outcome = engine::load_picture(data, size, p, std::size_t(1) << 20);
    const bool consistent = outcome.ok
        ? !p.empty() && p.pixels.size() == std::size_t(p.width) * std::size_t(p.height) && outcome.message.empty()
        : p.empty() && p.pixels.empty() && !outcome.message.empty() && outcome.message.find('\n') == std::string::npos;
    if (!consistent) std::abort();
    return 0;
}
