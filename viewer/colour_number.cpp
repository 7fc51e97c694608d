#include "viewer/colour_number.h"

#include "viewer/text_to_number.h"

namespace {

int colour_component(double value) {
    const double whole = round_half_even(value);
    if (!(whole > 0)) return 0;  // negative values, and NaN should one appear
    if (whole > 255) return 255;
    return static_cast<int>(whole);
}

// Start of the field after the next comma, or the end of the text.
const char* next_field(const char* field) {
    while (*field && *field != ',') ++field;
    return *field ? field + 1 : field;
}

}  // namespace

double colour_number(double red, double green, double blue) {
    return colour_component(red) + 256.0 * colour_component(green) + 65536.0 * colour_component(blue);
}

double colour_number_from_text(const char* text) {
    if (!text) text = "";
    // A number never contains a comma, so reading a field in place stops at
    // its end just as reading a separate copy of it would.
    const char* red = text;
    const char* green = next_field(red);
    const char* blue = next_field(green);
    return colour_number(text_to_number(red), text_to_number(green), text_to_number(blue));
}
