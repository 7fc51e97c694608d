// libFuzzer target: OBJ text from memory, whole and a few bytes at a time; no
// material library or texture is read.
#include <cstddef>
#include <cstdint>

#include "control/engine/formats/model_loaders.h"
#include "control/engine/formats/source_loaders.h"
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    engine::model m;
    const engine::load_outcome outcome = engine::load_obj(reinterpret_cast<const char*>(data), size, "", m);
    check_outcome(outcome, m);
    // Read 7 bytes at a time, as a file is read a window at a time: every
    // token, line and record is cut somewhere, and the load must not change.
    engine::loading::byte_source source(data, size);
    source.set_window_bytes(7);
    engine::model windowed;
    if (!same_load(outcome, m, engine::load_obj(source, "", windowed), windowed)) std::abort();
    return 0;
}
