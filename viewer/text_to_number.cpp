#include "viewer/text_to_number.h"

#include <cmath>
#include <limits>

namespace {

constexpr int max_significant_digits = 18;
constexpr long max_exponent = 9999;

bool is_decimal_digit(char c) { return c >= '0' && c <= '9'; }

// Value of `c` as a digit of `base`, or -1.
int digit_value(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    else if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    return value < base ? value : -1;
}

// "&" has been read; `p` points at the base letter or the first octal digit.
double read_based_number(const char* p) {
    int base = 8;
    switch (*p) {
        case 'H': case 'h': base = 16; ++p; break;
        case 'B': case 'b': base = 2; ++p; break;
        case 'O': case 'o': case 'Q': case 'q': base = 8; ++p; break;
        default: break;  // digits in base 8 start right here
    }
    const bool leading_zero = *p == '0';
    std::uint64_t value = 0;
    for (int digit; (digit = digit_value(*p, base)) >= 0; ++p) {
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return 0;  // beyond 64 bits
        value = value * base + digit;
    }
    if (!leading_zero) {
        // A set top bit of a 16- or 32-bit value is its sign, as in the
        // integer types these literals stand for.
        if (value <= 0xFFFF) {
            if (value & 0x8000) return static_cast<double>(static_cast<std::int16_t>(value));
        } else if (value <= 0xFFFFFFFF) {
            if (value & 0x80000000) return static_cast<double>(static_cast<std::int32_t>(value));
        }
    }
    return static_cast<double>(value);
}

double read_decimal_number(const char* p) {
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';

    std::uint64_t mantissa = 0;
    int significant = 0;  // digits taken into the mantissa
    long scale = 0;       // power of ten the mantissa is still to be scaled by
    bool any_digit = false;
    bool seen_point = false;
    for (;; ++p) {
        if (*p == '.' && !seen_point) {
            seen_point = true;
            continue;
        }
        if (!is_decimal_digit(*p)) break;
        any_digit = true;
        const int digit = *p - '0';
        if (significant < max_significant_digits) {
            if (mantissa != 0 || digit != 0) {
                mantissa = mantissa * 10 + digit;
                ++significant;
            }
            if (seen_point) --scale;  // a fraction digit, taken or a leading zero
        } else if (!seen_point) {
            ++scale;  // integer digits beyond the limit only scale the value
        }
    }
    if (!any_digit) return 0;

    if (*p == 'E' || *p == 'e' || *p == 'D' || *p == 'd') {
        const char* q = p + 1;
        bool exponent_negative = false;
        if (*q == '+' || *q == '-') exponent_negative = *q++ == '-';
        if (is_decimal_digit(*q)) {
            long exponent = 0;
            for (; is_decimal_digit(*q); ++q)
                if (exponent < max_exponent) exponent = exponent * 10 + (*q - '0');
            if (exponent > max_exponent) exponent = max_exponent;
            scale += exponent_negative ? -exponent : exponent;
        }
    }
    if (mantissa == 0) return 0;

    // Extended precision for the scaling; dividing for negative powers keeps
    // values such as 0.1 as exact as the type allows.
    long double value = static_cast<long double>(mantissa);
    if (scale > 0) value *= std::pow(10.0L, static_cast<long double>(scale));
    else if (scale < 0) value /= std::pow(10.0L, static_cast<long double>(-scale));
    const double result = static_cast<double>(value);
    // A value that underflowed to zero stays +0, like every other zero.
    return negative && result != 0 ? -result : result;
}

}  // namespace

double text_to_number(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
    if (*p == '&') return read_based_number(p + 1);
    return read_decimal_number(p);
}

double round_half_even(double value) {
    if (!std::isfinite(value)) return value;
    const double floor_value = std::floor(value);
    const double fraction = value - floor_value;
    if (fraction > 0.5) return floor_value + 1;
    if (fraction < 0.5) return floor_value;
    return std::fmod(floor_value, 2.0) == 0 ? floor_value : floor_value + 1;
}

std::uint32_t text_to_handle(const char* text) {
    const double value = round_half_even(text_to_number(text));
    // Written either as a signed or as an unsigned 32-bit number.
    if (!(value >= -2147483648.0 && value <= 4294967295.0)) return 0;
    if (value < 0) return static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    return static_cast<std::uint32_t>(value);
}

void decimal_commas_to_points(char* text) {
    if (!text) return;
    for (; *text; ++text)
        if (*text == ',') *text = '.';
}
