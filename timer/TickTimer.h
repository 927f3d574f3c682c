#pragma once

#include "timer/TickSchedule.h"

#include <QObject>

#include <functional>

class QSocketNotifier;

// The program's periodic timer. Ticks keep to their schedule at any interval from 1 ms up, with
// sub-millisecond precision (a kernel timer with absolute deadlines, woken through the event
// loop), and each tick is one event of the user-interface thread's loop. A tick that falls while
// a handler is still running waits until that handler has returned.
class TickTimer : public QObject {
    Q_OBJECT
public:
    explicit TickTimer(QObject* parent = nullptr);
    ~TickTimer() override;

    int interval() const { return interval_; }
    void setInterval(int milliseconds);
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled);

    // Ticks are held back while this says no (a handler is running).
    void setGate(std::function<bool()> mayTick) { mayTick_ = std::move(mayTick); }
    // Delivers a tick that was held back, once the gate opens again.
    void releaseHeldTick();

signals:
    void timeout();

private:
    void onExpired();
    void arm();
    static std::int64_t now();

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    TickSchedule schedule_;
    std::function<bool()> mayTick_;
    int interval_ = 1;
    bool enabled_ = false;
    bool held_ = false;
};
