#pragma once

#include "engine/RealTime.h"
#include "engine/TickSchedule.h"
#include "model/Model.h"

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace engine {

// Plays the program: the timer of the model on a thread of its own. It sleeps to absolute
// deadlines on the monotonic clock (a kernel timer) and has the model run each tick on this
// thread, board writes included (a tick due while a user action holds the model waits for it,
// and the schedule's lateness rules decide what follows). It writes the off edges of pulses too,
// each at its absolute deadline, ahead of a tick due with it. It asks for
// low-priority real-time scheduling (from the kernel, else from RealtimeKit, without waiting for
// its answer) and goes on without it where nobody grants it.
class Sequencer {
public:
    enum class Mode {
        Threaded, // ticks fall on the thread, on time
        Manual,   // no thread: ticks only by tickNow(), for scripted runs
    };

    // Told after every tick, on the thread that ran it (so it must be brief; once replaced it is
    // never called again): the tick's failure (which has stopped the run) or null, and whether
    // the same run goes on.
    using TickObserver = std::function<void(std::exception_ptr failure, bool timerEnabled)>;

    explicit Sequencer(model::Model& model, Mode mode = Mode::Threaded);
    ~Sequencer();
    Sequencer(const Sequencer&) = delete;
    Sequencer& operator=(const Sequencer&) = delete;

    void setTickObserver(TickObserver observer);
    // Runs one tick at once on the calling thread, as the thread would, if the timer is enabled.
    // Returns whether a tick ran.
    bool tickNow();
    // How the thread is scheduled (known once it runs), and whether that is real-time.
    Scheduling scheduling() const { return scheduling_.load(); }
    bool isRealTime() const {
        const Scheduling got = scheduling();
        return got == Scheduling::RealTime || got == Scheduling::RealtimeKit;
    }
    // Makes the thread look at the timer's state again.
    void wake();

private:
    void run();
    void tryRealTimeScheduling();
    void noteScheduling(Scheduling scheduling);

    // How long RealtimeKit may take to answer; closing waits for it at most that long.
    static constexpr std::chrono::milliseconds kRealtimeKitTimeout{1000};
    void tick();
    void report(const model::TickOutcome& outcome);

    model::Model& model_;
    std::mutex observerLock_;
    TickObserver observer_;         // under observerLock_
    TickSchedule schedule_;         // the thread's own
    model::TimerSetting scheduled_; // the setting schedule_ was made for
    int timerFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> quit_{false};
    std::atomic<Scheduling> scheduling_{Scheduling::Unknown};
    std::thread thread_;
    std::thread asker_; // asks RealtimeKit, where the kernel refused real-time
};

} // namespace engine
