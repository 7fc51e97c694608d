// Texts handed to the host: GPTR global memory blocks that the host owns.
#pragma once

#include "host/plugin_abi.h"

#include <cstddef>

// Frees the block a host variable holds, if any, and sets the variable to 0.
void FreeHostString(host_variable* variable);

// Replaces the variable's block by a new one holding `text` and a zero byte.
// The empty text, or a failed allocation, leaves the variable at 0.
void SetHostString(host_variable* variable, const char* text, std::size_t length);
