#include "support/Cli.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#ifndef TAMBROOK_CLI
#error "TAMBROOK_CLI names the tambrook-cli binary"
#endif

namespace {

// "write 05 ok" of "1234 write 05 ok".
QString withoutTime(const QByteArray& line) {
    return QString::fromLatin1(line.mid(line.indexOf(' ') + 1));
}

const QRegularExpression& aWrite() {
    static const QRegularExpression pattern(QStringLiteral("^write "));
    return pattern;
}

} // namespace

CliRig::CliRig(int boards, const QString& pins, const QString& faults) {
    environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QString::number(boards));
    environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_STATE"), path("board.state"));
    environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_TRACE"), path("board.trace"));
    environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_UNPLUGGED"), path("unplugged"));
    environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_WEDGED"), path("wedged"));
    // The user's own boards.conf stays out of it; a test that wants one writes this file.
    environment_.insert(QStringLiteral("TAMBROOK_BOARDS_CONF"), path("boards.conf"));
    if (!faults.isEmpty())
        environment_.insert(QStringLiteral("TAMBROOK_SIMULATED_FAULTS"), faults);
    if (!pins.isEmpty())
        write("board.state", (pins + QLatin1Char('\n')).toLatin1());
    // Holders' sockets go here, apart from every other test's.
    QDir(dir_.path())
        .mkdir(QStringLiteral("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    environment_.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("run"));
}

void CliRig::write(const char* name, const QByteArray& bytes) const {
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void CliRig::start(QProcess& process, const QStringList& arguments) const {
    process.setProcessEnvironment(environment_);
    process.setWorkingDirectory(dir_.path());
    process.start(QStringLiteral(TAMBROOK_CLI), arguments);
    QVERIFY(process.waitForStarted());
}

void CliRig::startShell(QProcess& process, const QString& commandLine) const {
    QProcessEnvironment environment = environment_;
    environment.insert(QStringLiteral("CLI"), QStringLiteral(TAMBROOK_CLI));
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir_.path());
    process.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commandLine});
}

Result CliRig::run(const QStringList& arguments) const {
    QProcess process;
    start(process, arguments);
    return finish(process);
}

Result CliRig::runShell(const QString& commandLine) const {
    QProcess process;
    startShell(process, commandLine);
    return finish(process);
}

Result CliRig::finish(QProcess& process) {
    process.waitForFinished(30000);
    Result result;
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(process.readAllStandardError());
    result.errLines = err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return result;
}

QStringList CliRig::takeTrace() {
    QStringList calls;
    for (const QByteArray& line : traceLines(path("board.trace"), traceTaken_, &traceTaken_))
        calls << withoutTime(line);
    return calls;
}

QStringList CliRig::writes() {
    return takeTrace().filter(aWrite());
}

QStringList CliRig::allWrites() const {
    QStringList calls;
    for (const QByteArray& line : traceLines(path("board.trace")))
        calls << withoutTime(line);
    return calls.filter(aWrite());
}

QList<QByteArray> traceLines(const QString& path, qint64 offset, qint64* end) {
    QFile file(path);
    QList<QByteArray> lines;
    if (end)
        *end = offset;
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return lines;
    const QByteArray text = file.readAll();
    const qsizetype whole = text.lastIndexOf('\n') + 1;
    if (end)
        *end = offset + whole;
    for (const QByteArray& line : text.left(whole).split('\n'))
        if (!line.isEmpty())
            lines << line;
    return lines;
}
