// SaveImage: the screen pixels under the container as a 32-bit BMP file.
#include "host/action_handlers.h"

BSTR WINAPI KP_QUELTO3D_SAVEIMAGE(const char*) { return nullptr; }
