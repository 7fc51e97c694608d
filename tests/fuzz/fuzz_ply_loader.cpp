// libFuzzer target: PLY, ASCII or binary, from memory, whole and a few bytes at a time.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_whole_and_windowed(
        data, size, [&](engine::model& m) { return engine::load_ply(data, size, m); },
        [](engine::loading::byte_source& source, engine::model& n) { return engine::load_ply(source, n); });
    return 0;
}
