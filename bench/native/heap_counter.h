// The benchmark's own operator new and delete, counting every allocation by
// its usable size (which delete can ask for again without a header of its
// own): the heap held now and the most held since the last reset. Include
// it in one file of a program only: it replaces the global operators.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace bench_heap {

inline std::atomic<std::size_t> live_bytes{0}, peak_bytes{0};

inline void* counted_allocation(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (!block) return nullptr;
    const std::size_t live = live_bytes += malloc_usable_size(block);
    std::size_t peak = peak_bytes.load(std::memory_order_relaxed);
    while (live > peak && !peak_bytes.compare_exchange_weak(peak, live)) {
    }
    return block;
}

inline void counted_release(void* block) {
    if (!block) return;
    live_bytes -= malloc_usable_size(block);
    std::free(block);
}

inline std::size_t live() { return live_bytes.load(); }
inline std::size_t peak() { return peak_bytes.load(); }
// The peak from here on starts at what is held now.
inline void reset_peak() { peak_bytes = live_bytes.load(); }

}  // namespace bench_heap

void* operator new(std::size_t size) {
    if (void* block = bench_heap::counted_allocation(size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return bench_heap::counted_allocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return bench_heap::counted_allocation(size); }
void operator delete(void* block) noexcept { bench_heap::counted_release(block); }
void operator delete[](void* block) noexcept { bench_heap::counted_release(block); }
void operator delete(void* block, std::size_t) noexcept { bench_heap::counted_release(block); }
void operator delete[](void* block, std::size_t) noexcept { bench_heap::counted_release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { bench_heap::counted_release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { bench_heap::counted_release(block); }
