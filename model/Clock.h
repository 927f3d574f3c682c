#pragma once

#include <cstdint>
#include <ctime>

namespace model {

// Nanoseconds on the monotonic clock: the time every run, tick and write is measured on.
inline std::int64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

} // namespace model
