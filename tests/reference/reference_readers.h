// Slow, independent readings of the parameter-text rules, against which the
// differential fuzz targets check the plug-in's conversions. Written from the
// rules alone and in another style: a text is first cut into token strings,
// and decimal values come from the C library's correctly rounded strtold of
// a canonical text instead of from digit arithmetic.
#pragma once

#include <cstddef>
#include <string>

namespace reference {

// The number at the start of a text, still as text.
struct number_tokens {
    enum class form { nothing, based, decimal };
    form kind = form::nothing;
    // "&" numbers.
    int base = 0;
    std::string digits;  // as written, leading zeros included
    // Decimal numbers; exponent_digits is empty when no whole exponent follows.
    bool negative = false;
    std::string integer_digits;
    std::string fraction_digits;
    bool exponent_negative = false;
    std::string exponent_digits;
};

number_tokens tokenise(const std::string& text);

// Extended-precision units in the last place by which a computation "with
// extended precision" may miss the once-rounded value: the plug-in scales its
// digits by a power of ten that powl gives to within one unit (the readers'
// test checks every power up to 10^4932), then rounds the product or quotient
// again. That stays below 2.5 units; 3 bounds it. Stored as a double, such a
// value differs from the once-rounded one only next to a midpoint between two
// doubles (43e215 is one), about once in 10^4 random texts.
constexpr int extended_latitude = 3;

// How a text reads as a number.
struct number_reading {
    // The exact value of the kept digits, rounded to extended precision, then
    // stored as a double.
    double value = 0;
    // The doubles that extended values within extended_latitude units of the
    // rounded one store as. Almost always both equal `value`; they differ by
    // one double only where the value lies next to a double rounding boundary.
    double lowest = 0;
    double highest = 0;
};

number_reading read_number(const std::string& text);

// Whether the plug-in's result is allowed: `value` bit for bit, or another
// double of the allowed range with the same sign.
bool agrees(const number_reading& reading, double result);

bool same_bits(double a, double b);

// Nearest whole number, ties to even, under the default rounding mode
// whatever mode the caller has set.
double whole_number(double value);

// The colour number of an "rrr,ggg,bbb" text.
double colour_number_of_text(const std::string& text);

// The text with every "," made a ".".
std::string commas_to_points(const std::string& text);

}  // namespace reference
