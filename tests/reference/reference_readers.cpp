#include "tests/reference/reference_readers.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#pragma STDC FENV_ACCESS ON

namespace reference {
namespace {

const std::string decimal_digits = "0123456789";

std::string digits_of_base(int base) {
    if (base == 16) return "0123456789abcdefABCDEF";
    if (base == 2) return "01";
    return "01234567";
}

// The longest run of characters from `set` starting at `at`; `at` moves past it.
std::string take_run(const std::string& text, std::size_t& at, const std::string& set) {
    std::size_t end = at < text.size() ? text.find_first_not_of(set, at) : text.size();
    if (end == std::string::npos) end = text.size();
    std::string run = text.substr(at, end - at);
    at = end;
    return run;
}

bool is_one_of(const std::string& text, std::size_t at, const char* set) {
    return at < text.size() && std::strchr(set, text[at]) != nullptr;
}

std::string without_leading_zeros(const std::string& digits) {
    const std::size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

int bits_of_digit(char digit) {
    unsigned value = static_cast<unsigned>(std::strtoul(std::string(1, digit).c_str(), nullptr, 16));
    int bits = 0;
    for (; value; value >>= 1) ++bits;
    return bits;
}

double based_value(const number_tokens& tokens) {
    const std::string significant = without_leading_zeros(tokens.digits);
    if (significant.empty()) return 0;
    const int bits_per_digit = tokens.base == 16 ? 4 : tokens.base == 8 ? 3 : 1;
    const std::size_t bits = (significant.size() - 1) * bits_per_digit + bits_of_digit(significant[0]);
    if (bits > 64) return 0;
    long double value = std::strtoull(significant.c_str(), nullptr, tokens.base);
    // Exactly 16 bits: the 16th is set; exactly 32 bits: the 32nd is.
    if (tokens.digits[0] != '0') {
        if (bits == 16) value -= 65536.0L;
        if (bits == 32) value -= 4294967296.0L;
    }
    return static_cast<double>(value);
}

long long exponent_value(const number_tokens& tokens) {
    const std::string digits = without_leading_zeros(tokens.exponent_digits);
    long long value = digits.size() > 4 ? 9999 : digits.empty() ? 0 : std::stoll(digits);
    if (value > 9999) value = 9999;
    return tokens.exponent_negative ? -value : value;
}

number_reading exact_reading(double value) { return {value, value, value}; }

number_reading decimal_reading(const number_tokens& tokens) {
    const std::string significant = without_leading_zeros(tokens.integer_digits + tokens.fraction_digits);
    if (significant.empty()) return exact_reading(0);
    const std::string kept = significant.substr(0, 18);
    const long long exponent = exponent_value(tokens) - static_cast<long long>(tokens.fraction_digits.size()) +
                               static_cast<long long>(significant.size() - kept.size());
    const std::string canonical = kept + "e" + std::to_string(exponent);
    const long double rounded = std::strtold(canonical.c_str(), nullptr);
    long double below = rounded, above = rounded;
    for (int i = 0; i < extended_latitude; ++i) {
        below = std::nextafter(below, 0.0L);
        above = std::nextafter(above, HUGE_VALL);
    }
    const double value = static_cast<double>(rounded), low = static_cast<double>(below),
                 high = static_cast<double>(above);
    if (tokens.negative && value != 0) return {-value, -high, -low};
    // Underflowed: zero is +0 whatever the sign written.
    if (tokens.negative) return low == 0 && high == 0 ? exact_reading(0) : number_reading{0.0, -high, -low};
    return {value, low, high};
}

}  // namespace

number_tokens tokenise(const std::string& text) {
    number_tokens tokens;
    std::size_t at = text.find_first_not_of(" \t\n");
    if (at == std::string::npos) return tokens;
    if (text[at] == '&') {
        ++at;
        tokens.kind = number_tokens::form::based;
        tokens.base = is_one_of(text, at, "Hh") ? 16 : is_one_of(text, at, "Bb") ? 2 : 8;
        if (is_one_of(text, at, "HhBbOoQq")) ++at;
        tokens.digits = take_run(text, at, digits_of_base(tokens.base));
        return tokens;
    }
    bool negative = false;
    if (is_one_of(text, at, "+-")) negative = text[at++] == '-';
    tokens.integer_digits = take_run(text, at, decimal_digits);
    if (is_one_of(text, at, ".")) tokens.fraction_digits = take_run(text, ++at, decimal_digits);
    if (tokens.integer_digits.empty() && tokens.fraction_digits.empty()) return number_tokens{};
    tokens.kind = number_tokens::form::decimal;
    tokens.negative = negative;
    if (is_one_of(text, at, "EeDd")) {
        std::size_t e = at + 1;
        bool exponent_negative = false;
        if (is_one_of(text, e, "+-")) exponent_negative = text[e++] == '-';
        const std::string digits = take_run(text, e, decimal_digits);
        if (!digits.empty()) {
            tokens.exponent_negative = exponent_negative;
            tokens.exponent_digits = digits;
        }
    }
    return tokens;
}

number_reading read_number(const std::string& text) {
    const number_tokens tokens = tokenise(text);
    switch (tokens.kind) {
        case number_tokens::form::based: return exact_reading(based_value(tokens));
        case number_tokens::form::decimal: return decimal_reading(tokens);
        case number_tokens::form::nothing: break;
    }
    return exact_reading(0);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

bool agrees(const number_reading& reading, double result) {
    if (same_bits(result, reading.value)) return true;
    if (result == 0 && std::signbit(result)) return false;  // the reading never gives -0
    if (result == 0) return reading.lowest <= 0 && reading.highest >= 0;
    return std::signbit(result) == std::signbit(reading.value) && result >= reading.lowest &&
           result <= reading.highest;
}

double whole_number(double value) {
    const int mode = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double whole = std::nearbyint(value);
    std::fesetround(mode);
    return whole;
}

double colour_number_of_text(const std::string& text) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == ',') fields.emplace_back();
        else fields.back() += c;
    }
    fields.resize(fields.size() < 3 ? 3 : fields.size());
    long colour = 0;
    for (int i = 0; i < 3; ++i) {
        const double whole = whole_number(read_number(fields[i]).value);
        const long component = whole <= 0 ? 0 : whole >= 255 ? 255 : static_cast<long>(whole);
        colour |= component << (8 * i);
    }
    return static_cast<double>(colour);
}

std::string commas_to_points(const std::string& text) {
    std::string copy;
    for (char c : text) copy.push_back(c == ',' ? '.' : c);
    return copy;
}

}  // namespace reference
