// Init, End and Resize: the viewer container in the host rectangle.
#include "host/action_handlers.h"

BSTR WINAPI KP_QUELTO3D_INIT(const char*) { return nullptr; }

BSTR WINAPI KP_QUELTO3D_END(const char*) { return nullptr; }

BSTR WINAPI KP_QUELTO3D_RESIZE(const char*) { return nullptr; }
