// The snapshot writer: screen pixels of a rectangle to a 32-bit BMP file.
#pragma once

#include <windows.h>

#include <cstddef>

// Copies the screen inside `capture` (screen coordinates; the part off the
// virtual screen is black) and writes it to the file `name` (8-bit text of `name_length` bytes). True when
// the file was opened, written and closed without an error; false at once for
// an empty name, and false without touching any file when the picture cannot
// be held (no memory for a non-empty rectangle, or more than 4 GiB of pixels).
bool write_snapshot(const RECT& capture, const char* name, std::size_t name_length);
