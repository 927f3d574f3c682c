#include "support/Processes.h"

#include <QElapsedTimer>

#include <csignal>
#include <sys/types.h>

bool signalChild(const QProcess& child, int signal) {
    const qint64 pid = child.processId();
    if (child.state() != QProcess::Running || pid <= 0)
        return false;
    return ::kill(static_cast<pid_t>(pid), signal) == 0;
}

const QString& LogOf::refresh() {
    text_ += QString::fromLocal8Bit(process_.readAllStandardError());
    return text_;
}

bool LogOf::waitFor(const QString& text, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!refresh().contains(text) && clock.elapsed() < timeoutMs)
        process_.waitForReadyRead(100);
    return text_.contains(text);
}
