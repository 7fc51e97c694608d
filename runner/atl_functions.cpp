#include "runner/atl_functions.h"

atl_functions load_atl() {
    atl_functions atl;
    HMODULE module = LoadLibraryA("atl.dll");
    if (!module) return atl;
    atl.init = reinterpret_cast<decltype(atl.init)>(reinterpret_cast<void*>(GetProcAddress(module, "AtlAxWinInit")));
    atl.get_control = reinterpret_cast<decltype(atl.get_control)>(
        reinterpret_cast<void*>(GetProcAddress(module, "AtlAxGetControl")));
    return atl;
}
