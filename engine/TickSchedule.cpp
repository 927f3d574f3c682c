#include "engine/TickSchedule.h"

#include <algorithm>

void TickSchedule::start(std::int64_t now, std::int64_t period) {
    period_ = period;
    anchor_ = now;
    index_ = 1;
}

void TickSchedule::setPeriod(std::int64_t period, std::int64_t since) {
    anchor_ = since;
    period_ = period;
    index_ = 1;
}

void TickSchedule::tickDelivered(std::int64_t now) {
    if (now - deadline() >= std::max(period_, kBlockedNanos)) {
        anchor_ = now;
        index_ = 1;
        return;
    }
    ++index_;
}

std::int64_t TickSchedule::dueAt(std::int64_t time) const {
    if (time < deadline())
        return 0;
    return (time - deadline()) / period_ + 1;
}

void TickSchedule::tickRan(std::int64_t start, std::int64_t end) {
    const std::int64_t fellDue = dueAt(end) - dueAt(start);
    if (fellDue > 1)
        index_ += fellDue - 1;
}
