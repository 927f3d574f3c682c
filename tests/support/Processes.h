#pragma once

// Child processes of a test, and what they write to their standard error.

#include <QProcess>
#include <QString>

// Sends a signal to a child that is still running. A child that has already exited has the
// process id 0, and kill(0, ...) would signal the test's whole process group instead.
bool signalChild(const QProcess& child, int signal);

// A process's stderr as it grows, for waiting on a log line: QTRY_VERIFY(log.has(...)) while an
// event loop turns, or waitFor where nothing else has to.
class LogOf {
public:
    explicit LogOf(QProcess& process)
        : process_(process) {}
    bool has(const QString& text) { return refresh().contains(text); }
    // Blocks on the process until `text` is in its log or timeoutMs have passed.
    bool waitFor(const QString& text, int timeoutMs = 10000);
    // The log so far, with what has come since the last look.
    const QString& refresh();
    // The log as last looked at.
    const QString& text() const { return text_; }

private:
    QProcess& process_;
    QString text_;
};
