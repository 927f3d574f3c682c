#include "timer/TickTimer.h"

#include <QSocketNotifier>

#include <ctime>
#include <stdexcept>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {
constexpr std::int64_t kNanosPerMilli = 1'000'000;
}

TickTimer::TickTimer(QObject* parent)
    : QObject(parent) {
    fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd_ < 0)
        throw std::runtime_error("no kernel timer available for the program timer");
    notifier_ = new QSocketNotifier(static_cast<qintptr>(fd_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TickTimer::onExpired);
}

TickTimer::~TickTimer() {
    delete notifier_;
    ::close(fd_);
}

std::int64_t TickTimer::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void TickTimer::setInterval(int milliseconds) {
    if (milliseconds == interval_)
        return;
    interval_ = milliseconds;
    if (enabled_) {
        schedule_.setPeriod(interval_ * kNanosPerMilli);
        arm();
    }
}

void TickTimer::setEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    held_ = false;
    std::uint64_t stale = 0;
    while (::read(fd_, &stale, sizeof stale) == sizeof stale) {
    } // an expiry of the previous run must not tick the new one
    if (enabled_)
        schedule_.start(now(), interval_ * kNanosPerMilli);
    arm();
    notifier_->setEnabled(true);
}

void TickTimer::arm() {
    itimerspec spec{};
    if (enabled_) {
        const std::int64_t deadline = schedule_.deadline();
        spec.it_value.tv_sec = static_cast<time_t>(deadline / 1'000'000'000);
        spec.it_value.tv_nsec = static_cast<long>(deadline % 1'000'000'000);
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
            spec.it_value.tv_nsec = 1; // zero would disarm
    }
    timerfd_settime(fd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void TickTimer::onExpired() {
    if (mayTick_ && !mayTick_()) {
        // Leave the expiry unread and stop listening until the running handler returns.
        held_ = true;
        notifier_->setEnabled(false);
        return;
    }
    std::uint64_t expirations = 0;
    if (::read(fd_, &expirations, sizeof expirations) != sizeof expirations || !enabled_)
        return;
    schedule_.tickDelivered(now());
    arm();
    emit timeout();
}

void TickTimer::releaseHeldTick() {
    if (!held_)
        return;
    held_ = false;
    notifier_->setEnabled(true);
}
