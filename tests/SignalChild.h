#pragma once

#include <QProcess>

#include <csignal>
#include <sys/types.h>

// Sends a signal to a child that is still running. A child that has already exited has the
// process id 0, and kill(0, ...) would signal the test's whole process group instead.
inline bool signalChild(const QProcess& child, int signal) {
    const qint64 pid = child.processId();
    if (child.state() != QProcess::Running || pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}
