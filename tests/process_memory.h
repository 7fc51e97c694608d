// Committed private memory of the process, summed over its address space
// (Wine reports no PrivateUsage in the process memory counters and no GDI
// object counts, so leaks are seen in memory instead).
#pragma once

#include <windows.h>

inline SIZE_T private_bytes() {
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* address = nullptr; VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        if (static_cast<const char*>(region.BaseAddress) + region.RegionSize < address) break;
    }
    return total;
}
