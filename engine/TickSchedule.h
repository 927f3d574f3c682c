#pragma once

#include <cstdint>

// When the ticks of a periodic timer fall. Tick k of a run falls k periods after the run started,
// so lateness never accumulates: a tick delivered a little late (scheduling jitter, a repaint)
// keeps the schedule, and ticks it held up follow back to back. A tick delivered a whole period
// and at least kBlockedNanos late (the user-interface thread was blocked, as in the 50 ms pauses)
// stands for every tick that was missed, and the schedule resumes from it.
// Times are nanoseconds on a monotonic clock.
class TickSchedule {
public:
    static constexpr std::int64_t kBlockedNanos = 10'000'000;

    void start(std::int64_t now, std::int64_t period);
    // Following ticks use the new period, counted from the last tick (or from the start).
    void setPeriod(std::int64_t period);
    // Moves to the next deadline after a tick delivered at `now`.
    void tickDelivered(std::int64_t now);

    std::int64_t deadline() const { return anchor_ + index_ * period_; }
    std::int64_t period() const { return period_; }

private:
    std::int64_t anchor_ = 0;
    std::int64_t index_ = 1;
    std::int64_t period_ = 1'000'000;
};
