// libFuzzer target: the SetBKColor text split into fields and made a colour
// number, checked against the slow reference reading. Bit for bit: a field's
// number has extended-precision latitude only below 1e-10 or above 1e27,
// where rounding and clamping give the same component anyway.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/differential.h"
#include "tests/reference/reference_readers.h"
#include "viewer/colour_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = host_text(data, size);
    const double colour = colour_number_from_text(heap_copy(text).get());
    const double expected = reference::colour_number_of_text(text);
    if (!reference::same_bits(colour, expected)) disagreement("colour_number_from_text", text, colour, expected);
    return 0;
}
