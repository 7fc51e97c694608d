#include "host/host_text_block.h"

#include <cstring>

void FreeHostString(host_variable* variable) {
    if (*variable != 0) {
        // Result not examined: there is nobody to report a failure to.
        GlobalFree(reinterpret_cast<HGLOBAL>(static_cast<std::uintptr_t>(*variable)));
    }
    *variable = 0;
}

void SetHostString(host_variable* variable, const char* text, std::size_t length) {
    FreeHostString(variable);
    if (length == 0) return;
    // GPTR is fixed and zero-filled: the handle is the address, and the byte
    // after the text is already the terminating zero.
    void* block = GlobalAlloc(GPTR, length + 1);
    if (!block) return;
    std::memcpy(block, text, length);
    // Ownership passes to the host here; the plug-in keeps no reference.
    *variable = static_cast<host_variable>(reinterpret_cast<std::uintptr_t>(block));
}
