#include "engine/Sequencer.h"

#include <QLoggingCategory>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace engine {

// Off unless asked for: QT_LOGGING_RULES="tambrook.sequencer.debug=true".
Q_LOGGING_CATEGORY(lcSequencer, "tambrook.sequencer", QtInfoMsg)

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;
constexpr std::int64_t kNanosPerMilli = 1'000'000;

std::int64_t monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

void drain(int fd) {
    std::uint64_t count = 0;
    while (::read(fd, &count, sizeof count) == sizeof count) {
    }
}

} // namespace

Sequencer::Sequencer(model::Model& model, Mode mode)
    : model_(model) {
    model_.setTimerObserver([this] { wake(); });
    if (mode == Mode::Manual)
        return;
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (timerFd_ < 0 || wakeFd_ < 0)
        throw std::runtime_error("no kernel timer available for the program timer");
    thread_ = std::thread([this] { run(); });
}

Sequencer::~Sequencer() {
    quit_ = true;
    wake();
    if (thread_.joinable())
        thread_.join();
    if (asker_.joinable())
        asker_.join();
    model_.setTimerObserver({});
    if (timerFd_ >= 0)
        ::close(timerFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void Sequencer::setTickObserver(TickObserver observer) {
    const std::lock_guard lock(observerLock_);
    observer_ = std::move(observer);
}

void Sequencer::report(const model::TickOutcome& outcome) {
    const std::lock_guard lock(observerLock_);
    if (observer_)
        observer_(outcome.failure, outcome.stillRunning);
}

void Sequencer::wake() {
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

bool Sequencer::tickNow() {
    const model::TimerSetting timer = model_.timerSetting();
    if (!timer.enabled)
        return false;
    const model::TickOutcome outcome = model_.runTick(timer, monotonicNow());
    if (outcome.ran)
        report(outcome);
    return outcome.ran;
}

// Real-time at the lowest priority: above every ordinary thread, below anything that asked for
// more. Where the kernel refuses it, a thread of its own asks RealtimeKit for this one, so that
// ticks never wait for the answer; until it comes, and where nobody grants it, this thread plays
// as an ordinary one with a short time slice, the best an ordinary thread can ask for.
void Sequencer::tryRealTimeScheduling() {
    if (makeThisThreadRealTime()) {
        noteScheduling(Scheduling::RealTime);
        return;
    }
    const bool shortSlice = giveThisThreadShortSlice();
    scheduling_ = Scheduling::Asking;
    const pid_t thread = thisThreadId();
    asker_ = std::thread([this, thread, shortSlice] {
        if (askRealtimeKit(thread, kRealtimeKitTimeout))
            noteScheduling(Scheduling::RealtimeKit);
        else
            noteScheduling(shortSlice ? Scheduling::ShortSlice : Scheduling::Ordinary);
    });
}

void Sequencer::noteScheduling(Scheduling scheduling) {
    scheduling_ = scheduling;
    qCDebug(lcSequencer, "the sequencer's thread is scheduled %s", describe(scheduling));
}

// Each pass looks at the timer under the lock, arms the kernel timer for the next deadline, the
// run's next tick or a pulse's off edge, whichever comes first (or disarms it), and sleeps until
// that deadline or a wake-up. A new run is scheduled from the moment the timer was enabled; a new
// interval from the moment the model took it. An off edge comes before a tick due with it.
void Sequencer::run() {
    tryRealTimeScheduling();
    while (!quit_) {
        const model::TimerSetting timer = model_.timerSetting();
        const bool armed = timer.enabled;
        if (armed && timer.run != scheduled_.run) {
            scheduled_ = timer;
            schedule_.start(timer.startedAt, timer.intervalMs * kNanosPerMilli);
        } else if (armed && timer.intervalSetAt != scheduled_.intervalSetAt) {
            scheduled_ = timer;
            schedule_.setPeriod(timer.intervalMs * kNanosPerMilli, timer.intervalSetAt);
        }
        std::int64_t deadline = armed ? std::max<std::int64_t>(schedule_.deadline(), 1) : 0;
        if (timer.pulseDueAt > 0)
            deadline = deadline == 0 ? timer.pulseDueAt : std::min(deadline, timer.pulseDueAt);
        itimerspec spec{};
        spec.it_value.tv_sec = static_cast<time_t>(deadline / kNanosPerSecond);
        spec.it_value.tv_nsec = static_cast<long>(deadline % kNanosPerSecond);
        timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr);
        pollfd fds[2] = {{timerFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN)
            drain(wakeFd_);
        if (!(fds[0].revents & POLLIN))
            continue;
        drain(timerFd_);
        const std::int64_t now = monotonicNow();
        if (timer.pulseDueAt > 0 && now >= timer.pulseDueAt && !quit_)
            model_.endPulsesDueBy(now);
        if (armed && now >= schedule_.deadline())
            tick();
    }
}

// The model runs the tick only for the run and interval this schedule is for, or for a deadline
// that fell before the interval changed. A front end that
// waits for the model goes first, so that ticks which follow each other back to back (a slow
// board, or catching up after a stall) never shut the window out.
void Sequencer::tick() {
    if (quit_)
        return;
    const model::TickOutcome outcome = model_.runTick(scheduled_, schedule_.deadline());
    if (!outcome.ran)
        return;
    schedule_.tickDelivered(outcome.startedAt);
    schedule_.tickRan(outcome.startedAt, outcome.endedAt);
    report(outcome);
}

} // namespace engine
