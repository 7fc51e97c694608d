// Colours as the viewer control takes them. Plain C++: no Windows headers.
#pragma once

// red + 256 * green + 65536 * blue (the COLORREF layout), each component
// rounded half to even and clamped to 0..255 first.
double colour_number(double red, double green, double blue);

// The colour of an "rrr,ggg,bbb" text: fields between commas, each read as a
// number (an empty or missing field is 0), fields after the third ignored.
double colour_number_from_text(const char* text);
