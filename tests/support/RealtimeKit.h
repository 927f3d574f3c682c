#pragma once

// A RealtimeKit of our own for tests and benchmarks, served on a private bus they start: it
// grants, refuses or answers too late, and where it grants it does what RealtimeKit does.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QTimer>

#include <sched.h>

// The one method and the properties of org.freedesktop.RealtimeKit1 that clients use.
class MockRealtimeKit : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.RealtimeKit1")
    Q_PROPERTY(qlonglong RTTimeUSecMax READ rtTimeUSecMax)
    Q_PROPERTY(int MaxRealtimePriority READ maxRealtimePriority)
    Q_PROPERTY(int MinNiceLevel READ minNiceLevel)

public:
    enum class Answer { Grant, Refuse, Slowly };
    Answer answer = Answer::Grant;
    int requests = 0;

    qlonglong rtTimeUSecMax() const { return 200000; }
    int maxRealtimePriority() const { return 20; }
    int minNiceLevel() const { return -15; }

public slots:
    // As RealtimeKit does, for a thread of the caller: round-robin, reset on fork.
    void MakeThreadRealtime(qulonglong thread, uint priority, const QDBusMessage& message) {
        ++requests;
        switch (answer) {
        case Answer::Grant: {
            sched_param parameter{};
            parameter.sched_priority = static_cast<int>(priority);
            if (::sched_setscheduler(static_cast<pid_t>(thread), SCHED_RR | SCHED_RESET_ON_FORK,
                                     &parameter) != 0)
                sendError(message, QStringLiteral("org.freedesktop.DBus.Error.Failed"));
            return;
        }
        case Answer::Refuse:
            sendError(message, QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"));
            return;
        case Answer::Slowly:
            message.setDelayedReply(true);
            QTimer::singleShot(3000, this, [message] {
                QDBusConnection(QStringLiteral("mock")).send(message.createReply());
            });
            return;
        }
    }

private:
    static void sendError(const QDBusMessage& message, const QString& name) {
        message.setDelayedReply(true);
        QDBusConnection(QStringLiteral("mock")).send(message.createErrorReply(name, name));
    }
};
