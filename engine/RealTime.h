#pragma once

#include <chrono>
#include <sys/types.h>

namespace engine {

// How a thread is scheduled.
enum class Scheduling {
    Unknown,     // not asked yet
    Asking,      // the kernel refused; RealtimeKit has been asked and has not answered yet
    Ordinary,    // real-time was refused, or nobody could grant it
    ShortSlice,  // ordinary, with the shortest time slice the kernel gives: its wake-ups come first
    RealTime,    // SCHED_FIFO at the lowest priority, granted by the kernel
    RealtimeKit, // real-time, granted by RealtimeKit on the system bus
};

const char* describe(Scheduling scheduling);

// Makes the calling thread real-time at the lowest priority, if the kernel lets it: a process with
// CAP_SYS_NICE or an rtprio limit.
bool makeThisThreadRealTime();

// Asks RealtimeKit on the system bus to make a thread of this process real-time at the lowest
// priority, the way desktop programs get it without privileges (sound servers do the same). Waits
// at most `timeout` for it; whether the kernel then shows the thread real-time.
bool askRealtimeKit(pid_t thread, std::chrono::milliseconds timeout);

// Asks the kernel for the shortest time slice it gives an ordinary thread (0.1 ms, Linux 6.12
// and later, no privilege needed). A thread with a short slice gets an earlier deadline, so when
// it wakes it takes the CPU from a thread that has run longer, as a busy loop has; a thread that
// runs that briefly between sleeps gives nothing up for it. Whether the kernel took it.
bool giveThisThreadShortSlice();

pid_t thisThreadId();

} // namespace engine
