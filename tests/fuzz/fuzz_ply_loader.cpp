// libFuzzer target: PLY, ASCII or binary, from memory.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::model m;
    check_outcome(engine::load_ply(data, size, m), m);
    return 0;
}
