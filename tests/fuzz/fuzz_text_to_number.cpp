// libFuzzer target: the text-to-number conversion and whole numbers, checked
// against the slow reference reading of the same rules.
#include <cfenv>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/differential.h"
#include "tests/reference/reference_readers.h"
#include "viewer/text_to_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = host_text(data, size);
    const double number = text_to_number(heap_copy(text).get());
    const reference::number_reading reading = reference::read_number(text);
    if (!reference::agrees(reading, number)) disagreement("text_to_number", text, number, reading.value);
    note_latitude(text, number, reading.value);

    // Rounding to whole numbers, on the value and on its neighbours (where a
    // fraction just off one half would be misjudged), in every rounding mode
    // that a host may leave set. Zero compares equal whatever its sign: the
    // whole number 0 has none that the colour clamp or a handle could see.
    for (double value : {number, std::nextafter(number, -HUGE_VAL), std::nextafter(number, HUGE_VAL)}) {
        const double whole = reference::whole_number(value);
        for (int mode : {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
            std::fesetround(mode);
            const double rounded = round_half_even(value);
            std::fesetround(FE_TONEAREST);
            if (!(rounded == whole)) disagreement("round_half_even", text, rounded, whole);
        }
    }
    return 0;
}
