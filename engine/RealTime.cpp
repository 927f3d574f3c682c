#include "engine/RealTime.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace engine {

namespace {

const QString kService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kPath = QStringLiteral("/org/freedesktop/RealtimeKit1");
const QString kInterface = QStringLiteral("org.freedesktop.RealtimeKit1");

// RealtimeKit hands out real-time only to processes whose hard RLIMIT_RTTIME is at most its own
// limit, so that a runaway real-time thread is stopped. The sequencer's thread sleeps between
// ticks, so it never comes near either.
constexpr std::int64_t kRealTimeMicrosecondsMax = 200'000;

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::int64_t>(left.count(), 1));
}

std::optional<std::int64_t> integerProperty(QDBusConnection& bus, const QString& name,
                                            Clock::time_point deadline) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << name;
    const QDBusMessage reply = bus.call(get, QDBus::Block, millisecondsLeft(deadline));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    bool ok = false;
    const qlonglong value =
        reply.arguments().front().value<QDBusVariant>().variant().toLongLong(&ok);
    return ok ? std::optional<std::int64_t>(value) : std::nullopt;
}

bool lowerRealTimeLimit(std::int64_t microseconds) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return false;
    const rlim_t wanted = static_cast<rlim_t>(microseconds);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= wanted)
        return true;
    limit.rlim_cur = std::min(limit.rlim_cur, wanted);
    limit.rlim_max = wanted;
    return ::setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

// sched_attr as the kernel reads it; the C library has no declaration of it.
struct SchedulingAttributes {
    std::uint32_t size = sizeof(SchedulingAttributes);
    std::uint32_t policy = 0;
    std::uint64_t flags = 0;
    std::int32_t nice = 0;
    std::uint32_t priority = 0;
    std::uint64_t runtimeNanos = 0; // the requested slice, for an ordinary thread
    std::uint64_t deadlineNanos = 0;
    std::uint64_t periodNanos = 0;
};

constexpr std::uint64_t kShortSliceNanos = 100'000;

bool readAttributes(SchedulingAttributes& attributes) {
    return ::syscall(SYS_sched_getattr, 0, &attributes, sizeof attributes, 0) == 0;
}

// What the kernel says of a thread, whoever set it.
bool isRealTime(pid_t thread) {
    const int policy = ::sched_getscheduler(thread) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

} // namespace

const char* describe(Scheduling scheduling) {
    switch (scheduling) {
    case Scheduling::Unknown:
        return "not known yet";
    case Scheduling::Asking:
        return "ordinary, until RealtimeKit answers";
    case Scheduling::Ordinary:
        return "ordinary (real-time refused or not to be had)";
    case Scheduling::ShortSlice:
        return "ordinary, with a short time slice (0.1 ms) so that its wake-ups come first";
    case Scheduling::RealTime:
        return "real-time (SCHED_FIFO, lowest priority)";
    case Scheduling::RealtimeKit:
        return "real-time, granted by RealtimeKit";
    }
    return "";
}

bool makeThisThreadRealTime() {
    sched_param parameter{};
    parameter.sched_priority = sched_get_priority_min(SCHED_FIFO);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameter) == 0;
}

bool giveThisThreadShortSlice() {
    SchedulingAttributes attributes;
    if (!readAttributes(attributes) || attributes.policy != SCHED_OTHER)
        return false;
    // The nice value read back goes back unchanged: lowering it would need a privilege.
    attributes.flags = 0;
    attributes.runtimeNanos = kShortSliceNanos;
    if (::syscall(SYS_sched_setattr, 0, &attributes, 0) != 0)
        return false;
    // Kernels before 6.12 take the call and ignore the slice; they read back none.
    SchedulingAttributes now;
    return readAttributes(now) && now.runtimeNanos == kShortSliceNanos;
}

pid_t thisThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool askRealtimeKit(pid_t thread, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    const std::optional<std::int64_t> maxPriority =
        integerProperty(bus, QStringLiteral("MaxRealtimePriority"), deadline);
    const std::optional<std::int64_t> maxMicroseconds =
        integerProperty(bus, QStringLiteral("RTTimeUSecMax"), deadline);
    if (!maxPriority || *maxPriority < 1 || !maxMicroseconds || *maxMicroseconds <= 0 ||
        Clock::now() >= deadline)
        return false;
    if (!lowerRealTimeLimit(std::min(*maxMicroseconds, kRealTimeMicrosecondsMax)))
        return false;
    QDBusMessage make = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("MakeThreadRealtime"));
    make << static_cast<qulonglong>(thread) << 1u;
    const QDBusMessage reply = bus.call(make, QDBus::Block, millisecondsLeft(deadline));
    return reply.type() == QDBusMessage::ReplyMessage && isRealTime(thread);
}

} // namespace engine
