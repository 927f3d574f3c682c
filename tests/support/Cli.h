#pragma once

// tambrook-cli as a test runs it: in a folder of the test's own, on simulated boards whose state
// and trace are files there, with a private runtime folder for the holders' sockets.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// What a run left: its exit status (-1 when it did not exit by itself), its output, its errors.
struct Result {
    int status = -1;
    QString out;
    QStringList errLines;
};

class CliRig {
public:
    // `boards` simulated boards, their relays as `pins` says ("10000000") and misbehaving as
    // `faults` says (the TAMBROOK_SIMULATED_FAULTS words), when given.
    explicit CliRig(int boards = 1, const QString& pins = {}, const QString& faults = {});

    QString path(const char* name) const { return dir_.filePath(QLatin1String(name)); }
    // What every process the rig starts is given; a test may add to it before it starts one.
    QProcessEnvironment& environment() { return environment_; }
    void write(const char* name, const QByteArray& bytes) const;

    void start(QProcess& process, const QStringList& arguments) const;
    // A shell command line, with the binary as $CLI, for arguments QProcess cannot pass.
    void startShell(QProcess& process, const QString& commandLine) const;
    Result run(const QStringList& arguments) const;
    Result runShell(const QString& commandLine) const;
    static Result finish(QProcess& process);

    // The driver calls since the last look, without their times: "write 05 ok". The file stays:
    // a holder that runs on keeps appending to it. Only whole lines are taken.
    QStringList takeTrace();
    QStringList writes();
    // Every write the boards have had, whatever was taken before.
    QStringList allWrites() const;

private:
    QTemporaryDir dir_;
    qint64 traceTaken_ = 0;
    QProcessEnvironment environment_ = QProcessEnvironment::systemEnvironment();
};

// The calls in a simulated board's trace file from byte `offset` on, up to its last whole line,
// each as the trace writes it ("1234 write 05 ok": microseconds, call, outcome). `end` is where
// the lines taken end.
QList<QByteArray> traceLines(const QString& path, qint64 offset = 0, qint64* end = nullptr);
