#include "support/Broker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <unistd.h>

namespace {

QString mosquittoProgram() {
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("mosquitto"));
    return onPath.isEmpty() ? QStandardPaths::findExecutable(QStringLiteral("mosquitto"),
                                                             {QStringLiteral("/usr/sbin")})
                            : onPath;
}

int freeLoopbackPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// A mosquitto client's output lines.
QStringList runClient(const char* client, int port, const QStringList& arguments) {
    QProcess process;
    process.start(QLatin1String(client),
                  QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("-p"), QString::number(port)} +
                      arguments);
    process.waitForFinished(8000);
    return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

Broker::Broker(QString access, bool startNow)
    : access_(std::move(access))
    , port_(freeLoopbackPort()) {
    if (startNow)
        start();
}

Broker::~Broker() {
    stop();
}

bool Broker::installed() {
    return !mosquittoProgram().isEmpty();
}

bool Broker::start() {
    const QString program = mosquittoProgram();
    if (program.isEmpty())
        return false;
    QFile config(dir_.filePath(QStringLiteral("broker.conf")));
    config.open(QIODevice::WriteOnly);
    // Run as root, the broker would drop to its own user, which may not read the caller's
    // private folder.
    config.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\n%2\n%3\n")
                     .arg(port_)
                     .arg(::geteuid() == 0 ? QStringLiteral("user root") : QString())
                     .arg(access_.isEmpty() ? QStringLiteral("allow_anonymous true") : access_)
                     .toUtf8());
    config.close();
    process_.start(program, {QStringLiteral("-c"), config.fileName()});
    process_.waitForStarted();
    const QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
        if (socket.waitForConnected(100))
            return running_ = true;
        QThread::msleep(20);
    }
    return false;
}

void Broker::stop() {
    process_.terminate();
    process_.waitForFinished(5000);
    running_ = false;
}

QString Broker::url(const QString& scheme, const QString& user) const {
    return scheme + QStringLiteral("://") + (user.isEmpty() ? QString() : user + '@') +
           QStringLiteral("127.0.0.1:%1").arg(port_);
}

bool Broker::installedWithClients() {
    return installed() &&
           !QStandardPaths::findExecutable(QStringLiteral("mosquitto_sub")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("mosquitto_pub")).isEmpty();
}

QStringList Broker::messages(const QString& topic, int count) const {
    return runClient("mosquitto_sub", port_,
                     {QStringLiteral("-t"), topic, QStringLiteral("-v"), QStringLiteral("-C"),
                      QString::number(count), QStringLiteral("-W"), QStringLiteral("2")});
}

void Broker::publish(const QString& topic, const QString& payload) const {
    runClient("mosquitto_pub", port_, {QStringLiteral("-t"), topic, QStringLiteral("-m"), payload});
}
