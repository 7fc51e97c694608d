// Reading numbers from action parameter texts. Plain C++: no Windows headers,
// so the same code builds natively for sanitizers and fuzzers.
#pragma once

#include <cstdint>

// Reads a number from the start of an 8-bit text and ignores the rest:
// leading blanks, tabs and line feeds are skipped (a carriage return ends the
// reading); "&H", "&B", "&O"/"&Q" and a bare "&" introduce whole numbers in
// base 16, 2 and 8 with 16- and 32-bit sign rules; otherwise a decimal number
// with optional sign, point and E/e/D/d exponent. No number gives 0; values
// beyond a double's range give an infinity of the right sign. Null counts as
// the empty text.
double text_to_number(const char* text);

// Nearest whole number, halves to the even one, independent of the FPU's
// rounding mode (hosts are known to change it).
double round_half_even(double value);

// A window handle written as a number: rounded half to even; values outside
// the 32-bit range (signed or unsigned) give 0, which is no window.
std::uint32_t text_to_handle(const char* text);

// Replaces every "," of a NUL-terminated text by "." in place, so that a
// decimal comma reads as a decimal point. Null is left alone.
void decimal_commas_to_points(char* text);
