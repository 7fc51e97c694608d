// libFuzzer target: OBJ text from memory; no material library or texture is read.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::model m;
    const engine::load_outcome outcome = engine::load_obj(reinterpret_cast<const char*>(data), size, "", m);
    check_outcome(outcome, m);
    return 0;
}
