// The 30 exported action handlers, in action-number order. Each takes the
// address of a NUL-terminated 8-bit text (0 = empty) and returns a null BSTR.
#pragma once

#include "host/plugin_abi.h"

extern "C" {
BSTR WINAPI KP_QUELTO3D_INIT(const char* parameter);
BSTR WINAPI KP_QUELTO3D_END(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOW(const char* parameter);
BSTR WINAPI KP_QUELTO3D_BKIMAGE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_CLEAR(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SAVEIMAGE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_RENDERMODE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_GRIDMODE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_APIMODE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SETBKCOLOR(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SELECTROTATE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SELECTMOVE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_RESIZE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_INERTIALROTATION(const char* parameter);
BSTR WINAPI KP_QUELTO3D_GRIDSIZE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_LIGHTMODE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SPECULARLIGHTING(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SMOOTHING(const char* parameter);
BSTR WINAPI KP_QUELTO3D_CREASEANGLE(const char* parameter);
BSTR WINAPI KP_QUELTO3D_USEDEFAULTMATERIAL(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWTRANSPARENCY(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWTEXTURES(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWFOG(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWHIDDENGEOMETRY(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWVERTEXES(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWLIGHTS(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWWORLDAXIS(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SHOWBOUNDINGBOX(const char* parameter);
BSTR WINAPI KP_QUELTO3D_HWINDOW(const char* parameter);
BSTR WINAPI KP_QUELTO3D_SCALELIGHTING(const char* parameter);
}
