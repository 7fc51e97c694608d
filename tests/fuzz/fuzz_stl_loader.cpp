// libFuzzer target: STL, binary or ASCII, from memory.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::model m;
    check_outcome(engine::load_stl(data, size, m), m);
    return 0;
}
