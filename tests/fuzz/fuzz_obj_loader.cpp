// libFuzzer target: OBJ text from memory, whole and a few bytes at a time; no
// material library or texture is read.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_whole_and_windowed(
        data, size, [&](engine::model& m) { return engine::load_obj(reinterpret_cast<const char*>(data), size, "", m); },
        [](engine::loading::byte_source& source, engine::model& n) { return engine::load_obj(source, "", n); });
    return 0;
}
