#pragma once

#include <cstdint>

// When the ticks of a periodic timer fall. Tick k of a run falls k periods after the run started,
// so lateness never accumulates: a tick delivered a little late (scheduling jitter, a repaint)
// keeps the schedule, and ticks it held up follow back to back. A tick delivered a whole period
// and at least kBlockedNanos late (the user-interface thread was blocked, as in the 50 ms pauses)
// stands for every tick that was missed, and the schedule resumes from it. Ticks that fall due
// while a tick is still running (a slow board) merge into one, as a desktop toolkit's periodic
// timer delivers them: the board, not the schedule, then sets the pace.
// Times are nanoseconds on a monotonic clock.
class TickSchedule {
public:
    static constexpr std::int64_t kBlockedNanos = 10'000'000;

    void start(std::int64_t now, std::int64_t period);
    // Following ticks use the new period, counted from the moment it was set: the first comes
    // one new period after it, the others one period apart.
    void setPeriod(std::int64_t period, std::int64_t since);
    // Moves to the next deadline after a tick delivered at `now`.
    void tickDelivered(std::int64_t now);
    // After a tick delivered at `start` has run until `end`: of the ticks that fell due
    // meanwhile, at most one stays pending.
    void tickRan(std::int64_t start, std::int64_t end);

    std::int64_t deadline() const { return anchor_ + index_ * period_; }
    std::int64_t period() const { return period_; }

private:
    // How many deadlines from the next one on have passed at `time`.
    std::int64_t dueAt(std::int64_t time) const;

    std::int64_t anchor_ = 0;
    std::int64_t index_ = 1;
    std::int64_t period_ = 1'000'000;
};
