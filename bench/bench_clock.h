// Timing helpers shared by the benchmarks: a monotonic clock, medians over
// interleaved rounds (the machines are shared and noisy) and private bytes.
#pragma once

#include <windows.h>

#include "tests/process_memory.h"

#include <algorithm>
#include <vector>

inline double seconds_now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

inline double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    if (values.empty()) return 0;
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Nanoseconds per iteration of `work`, run `iterations` times.
template <class Work>
double nanoseconds_per(int iterations, Work&& work) {
    const double start = seconds_now();
    for (int i = 0; i < iterations; ++i) work();
    return (seconds_now() - start) * 1e9 / iterations;
}
