#pragma once

#include <chrono>

namespace engine {

// How a thread is scheduled.
enum class Scheduling {
    Unknown,     // not asked yet
    Ordinary,    // real-time was refused, or nobody could grant it
    RealTime,    // SCHED_FIFO at the lowest priority, granted by the kernel
    RealtimeKit, // real-time, granted by RealtimeKit on the system bus
};

const char* describe(Scheduling scheduling);

// Makes the calling thread real-time at the lowest priority, the way desktop programs get it:
// first from the kernel (a process with CAP_SYS_NICE or an rtprio limit), then, where that is
// refused, from RealtimeKit on the system bus, as sound servers do. RealtimeKit is given at most
// `budget` to answer; absent, refusing or slow, the thread stays ordinary. Says what it got.
Scheduling makeThisThreadRealTime(std::chrono::milliseconds budget);

} // namespace engine
