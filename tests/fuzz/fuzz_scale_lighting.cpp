// libFuzzer target: the ScaleLighting reading, a copy with every comma made a
// point and then read as a number, checked against the slow reference.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/differential.h"
#include "tests/reference/reference_readers.h"
#include "viewer/text_to_number.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = host_text(data, size);
    const std::unique_ptr<char[]> copy = heap_copy(text);
    decimal_commas_to_points(copy.get());
    const std::string expected_copy = reference::commas_to_points(text);
    if (std::memcmp(copy.get(), expected_copy.c_str(), expected_copy.size() + 1) != 0) {
        std::fprintf(stderr, "decimal_commas_to_points gives ");
        print_text(copy.get());
        std::fprintf(stderr, " for ");
        print_text(text);
        std::fprintf(stderr, "\n");
        std::abort();
    }
    const double number = text_to_number(copy.get());
    const reference::number_reading reading = reference::read_number(expected_copy);
    if (!reference::agrees(reading, number)) disagreement("ScaleLighting number", text, number, reading.value);
    note_latitude(text, number, reading.value);
    return 0;
}
