// tambrook-cli as a script runs it: the real binary on simulated boards, judged by its exit
// status, its output and the board's trace of driver calls.
#include "support/Cli.h"
#include "support/Processes.h"
#include "support/Sockets.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <utility>
#include <vector>

#ifndef TAMBROOK_CLI
#error "TAMBROOK_CLI names the tambrook-cli binary"
#endif

class CliTest : public QObject {
    Q_OBJECT
private slots:
    void listNumbersTheBoards();
    void serveSharesItsBoard();
    void aHolderThatDoesNotAnswerIsBusy();
    void aFloodOfClientsNeitherSpinsServeNorHangsCommands();
    void serveSkipsBoardsItHasNoDescriptorsFor();
    void anotherUsersFolderIsNeverTrustedNorInTheWay();
    void serveAllServesEveryBoard();
    void serveOutlivesTheReaderOfItsLog();
    void aPlayWithoutSettingsKeepsTheHoldersOwn();
    void threeBoardsTwoClientsAtOnce();
    void serveKeepsAnUnpluggedBoardAndItsRun();
    void serveReopensABoardByItsIdAsTheBusIsThen();
    void aKilledHolderLeavesTheBoardToTheNext();
    void aRefusedWriteIsNotGivenToTheBoardWhenItIsBack();
    void aPeerOfAnotherUserIsRefused();
    void aSystemServiceServesItsGroup();
    void getReadsAndWritesNothing();
    void aFullDiskIsToldAndLeavesNoTemporaryFile();
    void setOnAndOffWriteOnce();
    void badUsageAndBadInput_data();
    void badUsageAndBadInput();
    void driverFailures_data();
    void driverFailures();
    void aBadConfigurationIsRefusedWithItsLine_data();
    void aBadConfigurationIsRefusedWithItsLine();
    void aGoodConfigurationIsCheckedAndLeavesTheSimulatedBoards();
    void namesAndInversionReachEveryCommand();
    void serveAndPlaySetTheRelaysAsTheyStartAndStop();
    void lastRelaysSurviveAKilledServe();
    void playRunsTheProgramToItsEnd();
    void playWithRepeatStopsAtASignalAfterTheCurrentStep_data();
    void playWithRepeatStopsAtASignalAfterTheCurrentStep();
    void playGoesOnThroughAnUnplug();
    void playRefusesWhatOpenFileRefuses();
    void playChecksEveryStepFirst();
    void playTakesFileNamesAsBytes();
    void playShowsOneUpdatingLineOnATerminal();
    void interlocksAreKeptByTheCommandAndThroughServe();
};

void CliTest::listNumbersTheBoards() {
    QCOMPARE(CliRig(0).run({"list"}).out, QString());
    // A setting the simulated boards cannot use is named under the program's own name.
    QCOMPARE(CliRig(1, {}, QStringLiteral("bogus")).run({"list"}).errLines,
             QStringList{"tambrook-cli: simulated fault \"bogus\" not understood; ignored"});
    const Result three = CliRig(3).run({"list"});
    QCOMPARE(three.status, 0);
    // Number, id, port path, serial (simulated boards have neither) and holder.
    QCOMPARE(
        three.out,
        QStringLiteral("1 sim1 - - sim 8 free\n2 sim2 - - sim 8 free\n3 sim3 - - sim 8 free\n"));
}

// serve holds its board and serves it: other commands go through it, nobody else can open it,
// and TERM closes it with the relays as they are.
void CliTest::serveSharesItsBoard() {
    CliRig rig(2);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.run({"on", "2", "3"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 06 ok"}); // one write, by the holder
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("01100000\n"));
    QCOMPARE(rig.run({"list"}).out,
             QStringLiteral("1 sim1 - - sim 8 serve %1\n2 sim2 - - sim 8 free\n")
                 .arg(serve.processId()));
    const Result second = rig.run({"serve", "--board", "sim1"});
    QCOMPARE(second.status, 1);
    QVERIFY2(second.errLines.join(' ').contains(QStringLiteral("could not be opened")),
             qPrintable(second.errLines.join(' ')));
    // A client's bad line is answered with an error and logged; the holder goes on.
    QCOMPARE(
        askSocket(rig.path("run/tambrook/sim1.sock"), "nonsense\n").value(QStringLiteral("ok")),
        QJsonValue(false));
    // A program played on a held board plays there, one over 64 KiB too.
    QByteArray big;
    for (int step = 0; step < 7000; ++step)
        big += "01000000-1\r\n";
    rig.write("big.txt", big);
    QCOMPARE(rig.run({"play", "big.txt"}).status, 0);
    QCOMPARE(askSocket(rig.path("run/tambrook/sim1.sock"), "{\"request\":\"state\"}\n")
                 .value(QStringLiteral("rows")),
             QJsonValue(7000));
    rig.write("p.txt", "10000000-1\r\n");
    QCOMPARE(rig.run({"play", "p.txt"}).status, 0);
    QTRY_COMPARE(rig.run({"get"}).out, QStringLiteral("10000000\n"));
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
    QCOMPARE(serve.exitStatus(), QProcess::NormalExit);
    QCOMPARE(serve.exitCode(), 0);
    const QString log = QString::fromLocal8Bit(serve.readAllStandardError());
    QVERIFY2(log.contains(QStringLiteral("opened sim1")) &&
                 log.contains(QStringLiteral("a client of sim1: malformed JSON")) &&
                 log.contains(QStringLiteral("closed sim1")),
             qPrintable(log));
    QVERIFY(!QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("10000000\n")); // the relays stayed
}

void CliTest::serveAllServesEveryBoard() {
    CliRig rig(2);
    QProcess serve;
    rig.start(serve, {"serve", "--all"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")) &&
                QFile::exists(rig.path("run/tambrook/sim2.sock")));
    QCOMPARE(rig.run({"set", "00000001", "--board", "sim2"}).status, 0);
    QCOMPARE(rig.run({"get", "--board", "2"}).out, QStringLiteral("00000001\n"));
    QCOMPARE(rig.run({"get", "--board", "sim1"}).out, QStringLiteral("00000000\n"));
    ::kill(static_cast<pid_t>(serve.processId()), SIGINT);
    QVERIFY(serve.waitForFinished(5000));
    QCOMPARE(serve.exitCode(), 0);
}

// Log lines written after their reader went away are lost; serve goes on serving.
void CliTest::serveOutlivesTheReaderOfItsLog() {
    CliRig rig(1);
    QProcess pipeline;
    rig.startShell(pipeline, QStringLiteral("\"$CLI\" serve --board sim1 2>&1 >/dev/null | true"));
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    // A client's bad line is logged, with nobody reading.
    askSocket(rig.path("run/tambrook/sim1.sock"), "nonsense\n");
    QTest::qWait(200);
    const QString list = rig.run({"list"}).out;
    QVERIFY2(list.contains(QStringLiteral("serve ")), qPrintable(list));
    // The holder's pid ends the line; never kill(0), which would be this test's own group.
    const int pid = list.trimmed().section(QLatin1Char(' '), -1).toInt();
    QVERIFY2(pid > 0, qPrintable(list));
    ::kill(pid, SIGTERM);
    QVERIFY(pipeline.waitForFinished(5000));
}

// A client's play without a resolution or repeat keeps the holder's; tambrook-cli play always
// sends its own, its defaults included.
void CliTest::aPlayWithoutSettingsKeepsTheHoldersOwn() {
    CliRig rig(1);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    const QString socket = rig.path("run/tambrook/sim1.sock");
    QTRY_VERIFY(QFile::exists(socket));
    const auto state = [&] { return askSocket(socket, "{\"request\":\"state\"}\n"); };
    QCOMPARE(askSocket(socket,
                       R"({"request":"play","program":"00000000-1","resolution":100,"repeat":true})"
                       "\n")
                 .value(QStringLiteral("ok")),
             QJsonValue(true));
    // 500 ms a step at the holder's 100 ms, and round again with its Repeat.
    QCOMPARE(askSocket(socket, R"({"request":"play","program":"10000000-5\n01000000-5\n"})"
                               "\n")
                 .value(QStringLiteral("row")),
             QJsonValue(0));
    QTest::qWait(200);
    QCOMPARE(state().value(QStringLiteral("row")), QJsonValue(0));
    QTRY_COMPARE_WITH_TIMEOUT(state().value(QStringLiteral("row")), QJsonValue(1), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(state().value(QStringLiteral("row")), QJsonValue(0), 5000);
    QCOMPARE(state().value(QStringLiteral("run")), QJsonValue(QStringLiteral("running")));
    rig.write("p.txt", "10000000-1\r\n");
    QCOMPARE(rig.run({"play", "p.txt"}).status, 0); // 1 ms, once
    QTRY_COMPARE(state().value(QStringLiteral("run")), QJsonValue(QStringLiteral("idle")));
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// Two scripts switch relays of three boards at once through one serve: each on is a read of the
// holder's state and one write under its lock, so no client's relay is lost to the other's.
void CliTest::threeBoardsTwoClientsAtOnce() {
    CliRig rig(3);
    QProcess serve;
    rig.start(serve, {"serve", "--all"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim3.sock")));
    const auto script = [](int firstRelay) {
        QString line;
        for (int relay = firstRelay; relay < firstRelay + 4; ++relay)
            for (const char* id : {"sim1", "sim2", "sim3"})
                line += QStringLiteral("$CLI on %1 --board %2 || exit 1; ").arg(relay).arg(id);
        return line;
    };
    QProcess first;
    QProcess second;
    for (auto [client, relay] : {std::pair{&first, 1}, std::pair{&second, 5}}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CLI"), QStringLiteral(TAMBROOK_CLI));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), rig.path("run"));
        environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("3"));
        client->setProcessEnvironment(environment);
        client->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script(relay)});
    }
    for (QProcess* client : {&first, &second}) {
        QVERIFY(client->waitForFinished(30000));
        QCOMPARE(client->exitCode(), 0);
    }
    for (const char* id : {"sim1", "sim2", "sim3"})
        QCOMPARE(rig.run({"get", "--board", id}).out, QStringLiteral("11111111\n"));
    QCOMPARE(rig.writes().size(), 24); // one write per command, all by the holder
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// A board pulled out under serve: reported once, served as not present, relay requests refused,
// and its program goes on by its clock. Plugged back, it is opened again without being read or
// reset, given the current step's pattern once, and the program goes on writing.
void CliTest::serveKeepsAnUnpluggedBoardAndItsRun() {
    CliRig rig(3);
    QProcess serve;
    rig.start(serve, {"serve", "--all"});
    LogOf log(serve);
    QTRY_VERIFY(log.has(QStringLiteral("opened sim3")));
    rig.write("p.txt", "11000000-2\r\n00110000-2\r\n00001100-2\r\n");
    QCOMPARE(
        rig.run({"play", "p.txt", "--board", "sim2", "--resolution", "100", "--repeat"}).status, 0);
    const QString socket = rig.path("run/tambrook/sim2.sock");
    const auto state = [&] { return askSocket(socket, "{\"request\":\"state\"}\n"); };
    rig.write("unplugged", "2\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("sim2 was unplugged")), 5000);
    rig.takeTrace();
    QCOMPARE(state().value(QStringLiteral("present")), QJsonValue(false));
    const Result refused = rig.run({"on", "1", "--board", "sim2"});
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.errLines.join(' ').contains(QStringLiteral("sim2: the board is not there")),
             qPrintable(refused.errLines.join(' ')));
    // The run goes on without its board.
    const int rowAway = state().value(QStringLiteral("row")).toInt();
    QTRY_VERIFY(state().value(QStringLiteral("row")).toInt() != rowAway);
    QCOMPARE(state().value(QStringLiteral("run")), QJsonValue(QStringLiteral("running")));
    QVERIFY(rig.writes().isEmpty());
    rig.write("unplugged", "");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("sim2 is back")), 5000);
    QCOMPARE(state().value(QStringLiteral("present")), QJsonValue(true));
    QCOMPARE(log.text().count(QStringLiteral("sim2 was unplugged")), 1);
    QTest::qWait(700); // a step or two more
    const QStringList trace =
        rig.takeTrace().filter(QRegularExpression(QStringLiteral("^(open|write|read)")));
    QVERIFY2(trace.size() >= 4, qPrintable(trace.join(", ")));
    QCOMPARE(trace[0], QStringLiteral("open 1 ok"));
    const QStringList steps{"write 03 ok", "write 0c ok", "write 30 ok"};
    QVERIFY2(steps.contains(trace[1]), qPrintable(trace[1]));
    // The run goes on from there: steps only, and not the same one over (it may come round again).
    bool movedOn = false;
    for (const QString& call : trace.mid(2)) {
        QVERIFY2(steps.contains(call), qPrintable(trace.join(", ")));
        movedOn = movedOn || call != trace[1];
    }
    QVERIFY2(movedOn, qPrintable(trace.join(", ")));
    QVERIFY(trace.filter(QStringLiteral("read")).isEmpty());
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// A board that stops answering refuses a write; when it answers again it is given the pattern
// last taken, not the refused one.
void CliTest::aRefusedWriteIsNotGivenToTheBoardWhenItIsBack() {
    CliRig rig(1);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    LogOf log(serve);
    QTRY_VERIFY(log.has(QStringLiteral("opened sim1")));
    QCOMPARE(rig.run({"on", "1"}).status, 0);
    rig.write("wedged", "1\n");
    const Result refused = rig.run({"on", "1", "2", "3", "4", "5", "6", "7", "8"});
    rig.write("wedged", "");
    QCOMPARE(refused.status, 1);
    QVERIFY2(refused.errLines.join(' ').contains(QStringLiteral("did not take the write")),
             qPrintable(refused.errLines.join(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("sim1 is back")), 5000);
    QVERIFY2(log.text().contains(QStringLiteral("its relays were set to 10000000")),
             qPrintable(log.text()));
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("10000000\n"));
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// serve finds a board that is back by its id as the bus is when it opens it. sim2 comes back
// alone (the first board), and its old handle's close hangs 300 ms (wedged) while sim1 is plugged
// back: the board first on the bus then is sim1, which must not get sim2's pattern.
void CliTest::serveReopensABoardByItsIdAsTheBusIsThen() {
    CliRig rig(2);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "sim2"});
    LogOf log(serve);
    QTRY_VERIFY(log.has(QStringLiteral("opened sim2")));
    QCOMPARE(rig.run({"set", "10100101", "--board", "sim2"}).status, 0);
    rig.write("unplugged", "1 2\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("sim2 was unplugged")), 5000);
    rig.write("wedged", "2\n");
    rig.takeTrace();
    rig.write("unplugged", "1\n");
    QStringList seenTrace;
    QTRY_VERIFY2_WITH_TIMEOUT((seenTrace += rig.takeTrace()).contains(QStringLiteral("count 1 ok")),
                              qPrintable(seenTrace.join(", ") + log.text()), 5000);
    rig.write("unplugged", "");
    rig.write("wedged", "");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("sim2 is back")), 5000);
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
    QCOMPARE(rig.run({"get", "--board", "sim1"}).out, QStringLiteral("00000000\n"));
    QVERIFY2(log.has(QStringLiteral("sim2 is back (board 2); its relays were set to 10100101")),
             qPrintable(log.text()));
}

// A holder killed outright leaves its socket behind and its board free: the next command opens
// the board itself.
void CliTest::aKilledHolderLeavesTheBoardToTheNext() {
    CliRig rig(1);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    ::kill(static_cast<pid_t>(serve.processId()), SIGKILL);
    QVERIFY(serve.waitForFinished(5000));
    QVERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    rig.takeTrace();
    const Result on = rig.run({"on", "4"});
    QCOMPARE(on.status, 0);
    QCOMPARE(rig.takeTrace().filter(QRegularExpression(QStringLiteral("^(open|write)"))),
             (QStringList{"open 0 ok", "write 08 ok"}));
    QCOMPARE(rig.run({"list"}).out, QStringLiteral("1 sim1 - - sim 8 free\n"));
}

// Even where another user reaches the socket (root serves from a runtime folder of that user's,
// and the socket is opened to all), the holder answers that user with a refusal and switches
// nothing.
void CliTest::aPeerOfAnotherUserIsRefused() {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv");
    CliRig rig(1);
    QVERIFY(::chmod(QFile::encodeName(rig.path("")).constData(), 0711) == 0);
    QVERIFY(::chown(QFile::encodeName(rig.path("run")).constData(), 65534, 65534) == 0);
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    const QString socket = rig.path("run/tambrook/sim1.sock");
    QTRY_VERIFY(QFile::exists(socket));
    QVERIFY(::chmod(QFile::encodeName(socket).constData(), 0666) == 0);
    rig.takeTrace();
    QProcess stranger;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), rig.path("run"));
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("1"));
    stranger.setProcessEnvironment(environment);
    stranger.setWorkingDirectory(QStringLiteral("/"));
    stranger.start(setpriv, {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                             QStringLiteral("--clear-groups"), QStringLiteral(TAMBROOK_CLI),
                             QStringLiteral("on"), QStringLiteral("1")});
    QVERIFY(stranger.waitForFinished(10000));
    QCOMPARE(stranger.exitCode(), 1);
    const QString error = QString::fromLocal8Bit(stranger.readAllStandardError());
    QVERIFY2(error.contains(QStringLiteral("refused")), qPrintable(error));
    QVERIFY(rig.writes().isEmpty());
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// serve as a system service (root, group plugdev) admits the members of its group and nobody
// else.
void CliTest::aSystemServiceServesItsGroup() {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv");
    CliRig rig(1);
    QProcess holder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_TRACE"), rig.path("board.trace"));
    holder.setProcessEnvironment(environment);
    holder.start(setpriv, {QStringLiteral("--regid=plugdev"), QStringLiteral("--clear-groups"),
                           QStringLiteral(TAMBROOK_CLI), QStringLiteral("serve"),
                           QStringLiteral("--board"), QStringLiteral("sim1")});
    QTRY_VERIFY(QFile::exists(QStringLiteral("/run/tambrook/sim1.sock")));
    const auto run = [&](const QStringList& who, const QStringList& arguments) {
        QProcess command;
        command.setProcessEnvironment(environment);
        command.setWorkingDirectory(QStringLiteral("/"));
        command.start(setpriv, who + QStringList{QStringLiteral(TAMBROOK_CLI)} + arguments);
        command.waitForFinished(10000);
        return std::make_pair(command.exitCode(),
                              QString::fromLocal8Bit(command.readAllStandardOutput()));
    };
    const QStringList member{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                             QStringLiteral("--groups=plugdev")};
    const QStringList stranger{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                               QStringLiteral("--clear-groups")};
    QCOMPARE(run(member, {QStringLiteral("on"), QStringLiteral("3")}).first, 0);
    QVERIFY(run(member, {QStringLiteral("list")}).second.contains(QStringLiteral("serve ")));
    QVERIFY(run(stranger, {QStringLiteral("list")}).second.contains(QStringLiteral("free")));
    holder.terminate();
    QVERIFY(holder.waitForFinished(5000));
    QCOMPARE(rig.writes(), QStringList{"write 04 ok"}); // the member's, by the holder
}

// A holder that takes the request but never answers makes the board busy, after one second.
void CliTest::aHolderThatDoesNotAnswerIsBusy() {
    CliRig rig(1);
    QVERIFY(QDir().mkdir(rig.path("run/tambrook"),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const int mute = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = socketAddress(rig.path("run/tambrook/sim1.sock").toStdString());
    QCOMPARE(::bind(mute, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::listen(mute, 4), 0); // connections wait in the queue, unanswered
    QElapsedTimer clock;
    clock.start();
    const Result result = rig.run({"on", "1"});
    QCOMPARE(result.status, 1);
    QVERIFY2(result.errLines.join(' ').contains(QStringLiteral("busy")),
             qPrintable(result.errLines.join(' ')));
    QVERIFY(clock.elapsed() >= 900 && clock.elapsed() < 5000);
    // With its queue full, connecting waits no longer.
    std::vector<int> queued;
    for (int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
         ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
         fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0))
        queued.push_back(fd);
    clock.restart();
    const Result full = rig.run({"on", "1"});
    QCOMPARE(full.status, 1);
    QVERIFY2(full.errLines.join(' ').contains(QStringLiteral("busy")),
             qPrintable(full.errLines.join(' ')));
    QVERIFY(clock.elapsed() < 5000);
    for (const int fd : queued)
        ::close(fd);
    ::close(mute);
    QVERIFY(rig.writes().isEmpty());
}

// A process's time on the processor so far, in milliseconds.
qint64 cpuMilliseconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    return (fields[12].toLongLong() + fields[13].toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// Clients that connect and say nothing, more than serve has descriptors for: it takes what it
// can and waits for the rest instead of spinning; a command that finds the queue full says busy
// within its second, and once the flood is gone commands are served again.
void CliTest::aFloodOfClientsNeitherSpinsServeNorHangsCommands() {
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
        QSKIP("needs prlimit");
    CliRig rig(1);
    QProcess serve;
    rig.startShell(serve, QStringLiteral("exec prlimit --nofile=32:32 \"$CLI\" serve --board 1"));
    LogOf log(serve);
    QTRY_VERIFY(log.has(QStringLiteral("watching udev")) || log.has(QStringLiteral("no udev")));
    const sockaddr_un address = socketAddress(rig.path("run/tambrook/sim1.sock").toStdString());
    std::vector<int> flood;
    for (int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
         ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
         fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0))
        flood.push_back(fd);
    QVERIFY(flood.size() > 32);
    QTRY_VERIFY(log.has(QStringLiteral("no file descriptor left")));
    const qint64 before = cpuMilliseconds(serve.processId());
    QElapsedTimer clock;
    clock.start();
    const Result busy = rig.run({"get"});
    QCOMPARE(busy.status, 1);
    QVERIFY2(busy.errLines.join(' ').contains(QStringLiteral("busy")),
             qPrintable(busy.errLines.join(' ')));
    const qint64 used = cpuMilliseconds(serve.processId()) - before;
    QVERIFY2(used * 4 < clock.elapsed(),
             qPrintable(QStringLiteral("%1 ms of %2").arg(used).arg(clock.elapsed())));
    for (const int fd : flood)
        ::close(fd);
    QTRY_COMPARE(rig.run({"get"}).status, 0);
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
}

// serve takes as many descriptors as it may; a board it has none left for is logged and
// skipped, and the others are served on.
void CliTest::serveSkipsBoardsItHasNoDescriptorsFor() {
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
        QSKIP("needs prlimit");
#ifdef TAMBROOK_SANITIZED
    // UndefinedBehaviorSanitizer probes memory through a pipe for its vptr check; with no
    // descriptor left it takes a thread's valid state for a broken one and stops serve.
    QSKIP("the sanitizers need descriptors of their own");
#endif
    CliRig rig(100);
    QProcess serve;
    rig.startShell(serve, QStringLiteral("exec prlimit --nofile=40:200 \"$CLI\" serve --all"));
    LogOf log(serve);
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("opened sim20 ")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("cannot serve sim")), 10000);
    QTRY_VERIFY(log.has(QStringLiteral("watching udev")) || log.has(QStringLiteral("no udev")));
    QCOMPARE(serve.state(), QProcess::Running);
    QVERIFY(QFile::exists(rig.path("run/tambrook/sim20.sock")));
    serve.terminate();
    QVERIFY(serve.waitForFinished(10000));
    QCOMPARE(serve.exitCode(), 0);
    QVERIFY(log.has(QStringLiteral("closed sim20")));
}

// In a mount namespace of its own with a /tmp of its own, nobody plants a live holder where a
// user without a runtime folder would look (/tmp/tambrook-UID); root serves that user's runtime
// folder, and another leaves a folder of root's there. None of it is trusted, none of it stops
// the user's own holder, and the user's commands send nothing to a holder of another user.
void CliTest::anotherUsersFolderIsNeverTrustedNorInTheWay() {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        QSKIP("needs root, setpriv and unshare");
    CliRig rig(1);
    rig.write("script", R"(
mount --make-rprivate / && mount -t tmpfs tmpfs /tmp || exit 99
U=4242 home=/tmp/home runtime=/tmp/runtime left=/tmp/left
mkdir -m 700 $home $runtime $left /tmp/n $left/tambrook
chown $U:$U $home $runtime $left && chown 65534:65534 /tmp/n
private=$home/.local/state/tambrook/run
clean="env -u XDG_RUNTIME_DIR -u TAMBROOK_SIMULATED_TRACE -u TAMBROOK_SIMULATED_UNPLUGGED"
nobody="setpriv --reuid=65534 --regid=65534 --clear-groups $clean -u TAMBROOK_SIMULATED_STATE"
user="setpriv --reuid=$U --regid=$U --clear-groups $clean HOME=$home
      TAMBROOK_SIMULATED_STATE=$home/board.state"
waitFor() { i=0; until [ -S "$1" ] || [ $i -gt 200 ]; do sleep 0.05; i=$((i+1)); done; }
$nobody XDG_RUNTIME_DIR=/tmp/n "$CLI" serve --board sim1 2>/dev/null &
planted=$!
waitFor /tmp/n/tambrook/sim1.sock
mv /tmp/n/tambrook /tmp/tambrook-$U && chmod 777 /tmp/tambrook-$U
chmod 666 /tmp/tambrook-$U/sim1.sock
$user "$CLI" set 11111111; echo "set $?"
$user "$CLI" serve --board sim1 2>>user.log &
served=$!
waitFor $private/sim1.sock
$user "$CLI" list; $user "$CLI" get
kill $served; wait $served
mv /tmp/tambrook-$U/sim1.sock $private/sim1.sock
$user "$CLI" get 2>>user.log; echo "planted $?"
kill $planted
env XDG_RUNTIME_DIR=$runtime "$CLI" serve --board sim1 2>/dev/null &
waitFor $runtime/tambrook/sim1.sock; kill $!; wait $!
for folder in $runtime $left; do
    $user XDG_RUNTIME_DIR=$folder "$CLI" serve --board sim1 2>>user.log &
    i=0; until $user XDG_RUNTIME_DIR=$folder "$CLI" list | grep -q serve || [ $i -gt 100 ]; do
        sleep 0.05; i=$((i+1)); done
    $user XDG_RUNTIME_DIR=$folder "$CLI" list; kill $!; wait $!
done
)");
    const Result result = rig.runShell(QStringLiteral("exec unshare -m sh script"));
    const QStringList out = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QFile file(rig.path("user.log"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString log = QString::fromLocal8Bit(file.readAll());
    QCOMPARE(out.size(), 6);
    QCOMPARE(out[0], QStringLiteral("set 0")); // on the board itself, nobody's holder untouched
    QVERIFY2(out[1].startsWith(QStringLiteral("1 sim1 - - sim 8 serve ")), qPrintable(out[1]));
    QCOMPARE(out[2], QStringLiteral("11111111"));
    QCOMPARE(out[3], QStringLiteral("planted 1"));
    QVERIFY2(out[4].startsWith(QStringLiteral("1 sim1 - - sim 8 serve ")), qPrintable(out[4]));
    QVERIFY2(out[5].startsWith(QStringLiteral("1 sim1 - - sim 8 serve ")), qPrintable(out[5]));
    QVERIFY2(log.contains(QStringLiteral("/tmp/tambrook-4242 belongs to nobody (uid 65534)")) &&
                 log.contains(QStringLiteral("serving from /tmp/home/.local/state/tambrook/run")) &&
                 log.contains(QStringLiteral("runs as nobody (uid 65534); nothing was sent")) &&
                 log.contains(QStringLiteral("/tmp/left/tambrook belongs to root (uid 0)")),
             qPrintable(log));
}

void CliTest::getReadsAndWritesNothing() {
    CliRig rig(1, QStringLiteral("a5"));
    const Result got = rig.run({"get"});
    QCOMPARE(got.status, 0);
    QCOMPARE(got.out, QStringLiteral("10100101\n")); // relay 1 first
    // One count finds the board named, one is the opening's own.
    QCOMPARE(rig.takeTrace(),
             (QStringList{"count 1 ok", "count 1 ok", "open 0 ok", "read a5 ok", "close ok"}));
}

// The simulated board's state file on a full disk (a tiny tmpfs in a mount namespace of the
// test's own): the write is taken, the lost state is told once, and no temporary file is left.
void CliTest::aFullDiskIsToldAndLeavesNoTemporaryFile() {
    if (::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("unshare")).isEmpty())
        QSKIP("needs root and unshare");
    CliRig rig(1);
    QVERIFY(QDir().mkpath(rig.path("full")));
    rig.write("p.txt", "10000000-1\r\n01000000-1\r\n00100000-1\r\n");
    const Result result = rig.runShell(QStringLiteral(
        "exec unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs -o size=4k tmpfs full "
        "&& (head -c 8192 /dev/zero >full/filler; true) 2>/dev/null && "
        "TAMBROOK_SIMULATED_STATE=full/board.state \"$CLI\" play p.txt && ls full'"));
    QCOMPARE(result.status, 0);
    QCOMPARE(result.errLines.size(), 1);
    QVERIFY2(result.errLines[0].contains(QStringLiteral("cannot save the state file")),
             qPrintable(result.errLines[0]));
    QCOMPARE(result.out, QStringLiteral("board.state.lock1\nfiller\n"));
    QCOMPARE(rig.writes(), (QStringList{"write 01 ok", "write 02 ok", "write 04 ok"}));
}

// The simulated state file keeps board 1's pins between runs; board 2 starts at 0 each time.
void CliTest::setOnAndOffWriteOnce() {
    CliRig rig(2);
    QCOMPARE(rig.run({"set", "11000000", "--board", "2"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 03 ok"});
    QCOMPARE(rig.run({"set", "10100000"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 05 ok"});
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("10100000\n"));
    rig.takeTrace();
    QCOMPARE(rig.run({"on", "2", "8"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 87 ok"});               // relays 1 and 3 kept
    QCOMPARE(rig.run({"off", "1", "8", "1", "--board=1"}).status, 2); // options take a space
    QCOMPARE(rig.run({"--board", "1", "off", "1"}).status, 2);        // the command comes first
    QCOMPARE(rig.run({"off", "1", "8", "1", "--board", "1"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 06 ok"});
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("01100000\n"));
}

void CliTest::badUsageAndBadInput_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("names");
    QTest::newRow("no command") << QStringList{} << 2 << "no command";
    QTest::newRow("unknown command") << QStringList{"toggle"} << 2 << "toggle";
    QTest::newRow("short pattern") << QStringList{"set", "1010"} << 2 << "1010";
    QTest::newRow("not 0 or 1") << QStringList{"set", "1010000x"} << 2 << "1010000x";
    QTest::newRow("two patterns") << QStringList{"set", "10100000", "1"} << 2 << "one pattern";
    QTest::newRow("relay 0") << QStringList{"on", "0"} << 2 << ": 0";
    QTest::newRow("relay 9") << QStringList{"off", "3", "9"} << 2 << ": 9";
    QTest::newRow("relay -1") << QStringList{"on", "-1"} << 2 << "-1";
    QTest::newRow("no relay") << QStringList{"on"} << 2 << "relay";
    QTest::newRow("board 0") << QStringList{"get", "--board", "0"} << 2 << "--board";
    QTest::newRow("board x") << QStringList{"get", "--board", "x"} << 1 << "no board x";
    QTest::newRow("no board number") << QStringList{"get", "--board"} << 2 << "--board";
    QTest::newRow("resolution 0") << QStringList{"play", "p.txt", "--resolution", "0"} << 2
                                  << "--resolution";
    QTest::newRow("resolution 101")
        << QStringList{"play", "p.txt", "--resolution", "101"} << 2 << "--resolution";
    QTest::newRow("repeat on set") << QStringList{"set", "10100000", "--repeat"} << 2 << "--repeat";
    QTest::newRow("no file") << QStringList{"play"} << 2 << "file";
    QTest::newRow("missing file") << QStringList{"play", "missing.txt"} << 2 << "missing.txt";
    QTest::newRow("no such board")
        << QStringList{"set", "11111111", "--board", "3"} << 1 << "board 3";
}

// One line on stderr naming what was wrong, the status, and never a write.
void CliTest::badUsageAndBadInput() {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, names);
    CliRig rig(2);
    rig.write("p.txt", "11111111-1\r\n");
    const Result result = rig.run(arguments);
    QCOMPARE(result.status, status);
    QCOMPARE(result.errLines.size(), 1);
    QVERIFY2(result.errLines[0].contains(names), qPrintable(result.errLines[0]));
    QVERIFY(result.out.isEmpty());
    QVERIFY(rig.writes().isEmpty());
}

// Every command reads boards.conf and the --board FAMILY:DEVICE first: what is refused names the
// file and line (or the argument), exits 2 and touches no board.
void CliTest::aBadConfigurationIsRefusedWithItsLine_data() {
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error"); // after "tambrook-cli: ", with @ for boards.conf's path
    QTest::newRow("no family")
        << QByteArray("# pump room\n[pump]\ndevice = /dev/ttyUSB0\n") << QStringList{"list"}
        << "@:2: [pump] names no family (family = ftdi, hid, lcus or modbus)";
    QTest::newRow("unknown family") << QByteArray("[pump]\nfamily = relayz\n") << QStringList{"get"}
                                    << "@:2: unknown family relayz (ftdi, hid, lcus or modbus)";
    QTest::newRow("an unknown relay option")
        << QByteArray("[A1]\nfamily = ftdi\nprofile = denkovi4\n"
                      "relay1.colour = red\n")
        << QStringList{"set", "11111111"} << "@:4: unknown relay option relay1.colour";
    QTest::newRow("a ninth relay")
        << QByteArray("[sim1]\nrelay9.name = pump\n") << QStringList{"list"}
        << "@:2: relay9.name: relays are numbered 1 to 8";
    QTest::newRow("a short pulse")
        << QByteArray("[sim1]\nrelay1.pulse = 5ms\n") << QStringList{"on", "1"}
        << "@:2: relay1.pulse = 5ms: a pulse is 10ms to 24h";
    QTest::newRow("a pulse without its unit")
        << QByteArray("[sim1]\n\nrelay2.pulse = 300\n") << QStringList{"get"}
        << "@:3: relay2.pulse = 300: a pulse is 10ms to 24h";
    QTest::newRow("invert") << QByteArray("[sim1]\nrelay1.invert = maybe\n")
                            << QStringList{"serve", "--all"}
                            << "@:2: relay1.invert = maybe: invert is true or false";
    QTest::newRow("on_start") << QByteArray("[sim1]\non_start = first\n")
                              << QStringList{"serve", "--board", "1"}
                              << "@:2: on_start = first: on_start is keep, off, on or last";
    QTest::newRow("a relay's on_exit")
        << QByteArray("[sim1]\nrelay3.on_exit = on\n") << QStringList{"play", "p.txt"}
        << "@:2: relay3.on_exit = on: on_exit is keep or off";
    QTest::newRow("interlock") << QByteArray("[sim1]\ninterlock = 1+2, 3+9\n")
                               << QStringList{"list"}
                               << "@:2: interlock = 1+2, 3+9: \"9\" is not a relay number";
    QTest::newRow("interlock of one")
        << QByteArray("[sim1]\ninterlock = 1+2, 3\n") << QStringList{"list"}
        << "@:2: interlock = 1+2, 3: \"3\" is not a group";
    QTest::newRow("interlock_policy")
        << QByteArray("[sim1]\ninterlock_policy = both\n") << QStringList{"list"}
        << "@:2: interlock_policy = both: interlock_policy is reject or switch";
    QTest::newRow("interlock_dead_time")
        << QByteArray("[sim1]\ninterlock_dead_time = 11s\n") << QStringList{"list"}
        << "@:2: interlock_dead_time = 11s: a dead time is 0ms to 10s";
    QTest::newRow("a board key without a family")
        << QByteArray("[sim1]\nrelay1.name = pump\nrelays = 4\n") << QStringList{"list"}
        << "@:3: relays needs family and device in [sim1]";
    QTest::newRow("an unknown key without a family")
        << QByteArray("[sim1]\ncolour = red\n") << QStringList{"list"}
        << "@:2: unknown key colour for sim1";
    QTest::newRow("an option on the command line")
        << QByteArray() << QStringList{"get", "--board", "lcus:/dev/ttyUSB0,on_exit=maybe"}
        << "--board lcus:/dev/ttyUSB0,on_exit=maybe: on_exit = maybe: on_exit is keep or off";
    QTest::newRow("sixteen relays")
        << QByteArray("[pump]\nfamily = modbus\ndevice = /dev/ttyUSB0\n\nrelays = 16\n")
        << QStringList{"on", "1"} << "@:5: relays = 16: at most eight relays per board";
    QTest::newRow("no relays") << QByteArray("[pump]\nfamily = modbus\nrelays = 0\n")
                               << QStringList{"serve", "--all"}
                               << "@:3: relays = 0: relays is a count from 1 to 8";
    QTest::newRow("unknown profile")
        << QByteArray("[A1]\nfamily = ftdi\nprofile = denkovi8\n") << QStringList{"play", "p.txt"}
        << "@:3: unknown ftdi profile denkovi8 (default or denkovi4)";
    QTest::newRow("ftdi with a device")
        << QByteArray("[A1]\nfamily = ftdi\ndevice = /dev/ttyUSB0\n") << QStringList{"list"}
        << "@:3: ftdi boards take no device";
    QTest::newRow("not a line") << QByteArray("[A1]\nfamily ftdi\n") << QStringList{"list"}
                                << "@:2: not KEY = VALUE nor [ID]: family ftdi";
    QTest::newRow("sixteen on the command line")
        << QByteArray()
        << QStringList{"set", "11111111", "--board", "modbus:/dev/ttyUSB0,relays=16"}
        << "--board modbus:/dev/ttyUSB0,relays=16: relays = 16: at most eight relays per board";
    QTest::newRow("no device on the command line")
        << QByteArray() << QStringList{"get", "--board", "lcus:"}
        << "--board lcus:: no device after the family";
    QTest::newRow("a simulated board named")
        << QByteArray() << QStringList{"list", "--board", "sim:1"}
        << "--board sim:1: simulated boards take no";
    QTest::newRow("one id twice")
        << QByteArray("[modbus:/dev/ttyUSB0]\nfamily = modbus\ndevice = /dev/ttyUSB0\n")
        << QStringList{"get", "--board", "modbus:/dev/ttyUSB0"}
        << "--board modbus:/dev/ttyUSB0: the board modbus:/dev/ttyUSB0 is named at @:1 already";
}

void CliTest::aBadConfigurationIsRefusedWithItsLine() {
    QFETCH(QByteArray, conf);
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    CliRig rig(2);
    rig.write("p.txt", "11111111-1\r\n");
    if (!conf.isEmpty())
        rig.write("boards.conf", conf);
    const Result result = rig.run(arguments);
    QCOMPARE(result.status, 2);
    QCOMPARE(result.errLines.size(), 1);
    const QString expected =
        QStringLiteral("tambrook-cli: ") + QString(error).replace('@', rig.path("boards.conf"));
    QVERIFY2(result.errLines[0].startsWith(expected), qPrintable(result.errLines[0]));
    QVERIFY(result.out.isEmpty());
    QVERIFY(rig.allWrites().isEmpty());
}

// Simulated boards are all a test reaches, with or without a configuration for real ones.
void CliTest::aGoodConfigurationIsCheckedAndLeavesTheSimulatedBoards() {
    CliRig rig(1);
    rig.write("boards.conf",
              "; the four-relay board on the bench\n[A9XK3L]\n  family = ftdi\n"
              "profile=denkovi4\nrelay1.name = Garage door\non_exit = off\n\n[1-1.4]\n"
              "family = ftdi\nprofile = default\n[sim2]\nrelay2.pulse = 1min\n"
              "interlock = 1+2, 3+4+5\ninterlock_policy = switch\ninterlock_dead_time = 0ms\n"
              "relay8.on_start = last\nrelay8.invert = yes\n");
    const Result result = rig.run({"list"});
    QCOMPARE(result.status, 0);
    QVERIFY2(result.errLines.isEmpty(), qPrintable(result.errLines.join('\n')));
    QCOMPARE(result.out, QStringLiteral("1 sim1 - - sim 8 free\n"));
}

void CliTest::driverFailures_data() {
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("names");
    QTest::newRow("gone while opening") << "unplug-after=1" << QStringList{"get"} << "went away";
    QTest::newRow("read fails") << "fail-reads" << QStringList{"on", "1"} << "could not read";
    QTest::newRow("read fails while opening for play")
        << "fail-reads" << QStringList{"play", "p.txt"} << "stopped answering while it was";
    QTest::newRow("write fails") << "fail-writes" << QStringList{"set", "10000000"}
                                 << "could not switch";
    QTest::newRow("lost while playing")
        << "unplug-after=10" << QStringList{"play", "p.txt"} << "stopped answering";
}

void CliTest::driverFailures() {
    QFETCH(QString, faults);
    QFETCH(QStringList, arguments);
    QFETCH(QString, names);
    CliRig rig(1, {}, faults);
    QByteArray program;
    for (int step = 0; step < 50; ++step)
        program += step % 2 ? "10000000-2\r\n" : "01000000-2\r\n";
    rig.write("p.txt", program);
    const Result result = rig.run(arguments);
    QCOMPARE(result.status, 1);
    // A board lost while playing is first reported as looked for.
    QCOMPARE(result.errLines.size(),
             arguments.contains("play") && faults.contains("unplug") ? 2 : 1);
    QVERIFY2(result.errLines.last().contains(names), qPrintable(result.errLines.last()));
}

// Names are listed and told in the socket's state; an inverted relay is on while its bit is 0,
// whoever switches it.
void CliTest::namesAndInversionReachEveryCommand() {
    CliRig rig(2, QStringLiteral("00"));
    rig.write("boards.conf",
              "[sim1]\nrelay1.name = Garage door\nrelay3.name = Pump\nrelay2.invert = true\n");
    QCOMPARE(rig.run({"list"}).out,
             QStringLiteral("1 sim1 - - sim 8 free\n  relay 1: Garage "
                            "door\n  relay 3: Pump\n2 sim2 - - sim 8 free\n"));
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("01000000\n"));
    QCOMPARE(rig.run({"on", "1"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 01 ok"});
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.run({"off", "2"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 03 ok"});
    const QJsonObject state =
        askSocket(rig.path("run/tambrook/sim1.sock"), "{\"request\":\"state\"}\n");
    QCOMPARE(state.value(QStringLiteral("relays")).toString(), QStringLiteral("10000000"));
    QCOMPARE(state.value(QStringLiteral("names")).toObject(),
             (QJsonObject{{QStringLiteral("1"), QStringLiteral("Garage door")},
                          {QStringLiteral("3"), QStringLiteral("Pump")}}));
    ::kill(static_cast<pid_t>(serve.processId()), SIGTERM);
    QCOMPARE(CliRig::finish(serve).status, 0);
    QVERIFY(rig.writes().isEmpty()); // on_exit keep: nothing written
}

// on_start is one write as the holder opens the board; on_exit = off, one as TERM stops it, on a
// slow board; a wedged one does not keep its holder from stopping.
void CliTest::serveAndPlaySetTheRelaysAsTheyStartAndStop() {
    CliRig rig(1, QStringLiteral("06"), QStringLiteral("latency=15"));
    rig.write("boards.conf", "[sim1]\non_start = on\nrelay2.on_start = off\nrelay3.on_start = "
                             "keep\non_exit = off\nrelay4.on_exit = keep\n");
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.writes(), QStringList{"write fd ok"}); // 10111111: relay 2 off, 3 kept on
    ::kill(static_cast<pid_t>(serve.processId()), SIGTERM);
    QCOMPARE(CliRig::finish(serve).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 08 ok"}); // all off but relay 4
    rig.write("p.txt", "11110000-1\r\n00001111-1\r\n");
    QProcess play;
    rig.start(play, {"play", "p.txt", "--repeat"});
    QTRY_VERIFY_WITH_TIMEOUT(rig.allWrites().size() >= 6, 20000);
    ::kill(static_cast<pid_t>(play.processId()), SIGTERM);
    QCOMPARE(CliRig::finish(play).status, 0);
    const QStringList writes = rig.allWrites();
    QVERIFY2(writes.last() == QStringLiteral("write 08 ok") ||
                 writes.last() == QStringLiteral("write 00 ok"),
             qPrintable(writes.join(' ')));
    QCOMPARE(writes.at(writes.size() - 2) == QStringLiteral("write 0f ok"),
             writes.last() == QStringLiteral("write 08 ok"));
    rig.takeTrace();
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.writes().size(), 1);
    rig.write("wedged", "1\n");
    ::kill(static_cast<pid_t>(serve.processId()), SIGTERM);
    QCOMPARE(CliRig::finish(serve).status, 0);
    QVERIFY(rig.writes().filter(QStringLiteral(" ok")).isEmpty());
}

// The last pattern is replaced whole at every change: a serve killed at any moment leaves one of
// the patterns it played, and the next serve gives the board that one.
void CliTest::lastRelaysSurviveAKilledServe() {
    CliRig rig(1);
    rig.environment().insert(QStringLiteral("XDG_STATE_HOME"), rig.path("state"));
    rig.write("boards.conf", "[sim1]\non_start = last\n");
    rig.write("p.txt", "11000000-0\r\n00110000-0\r\n");
    const QString last = rig.path("state/tambrook/sim1.last");
    // Killed before the program's first step reached the disk, the holder leaves what it opened.
    const QStringList patterns{QStringLiteral("11000000\n"), QStringLiteral("00110000\n"),
                               QStringLiteral("00000000\n")};
    const auto writeOf = [](const QString& pattern) {
        int byte = 0;
        for (int relay = 0; relay < 8; ++relay)
            byte |= pattern.at(relay) == QLatin1Char('1') ? 1 << relay : 0;
        return QStringLiteral("write %1 ok").arg(byte, 2, 16, QLatin1Char('0'));
    };
    QString left;
    for (int round = 0; round < 6; ++round) {
        rig.write("board.state", "00\n"); // the power went with the holder
        rig.takeTrace();
        QProcess serve;
        rig.start(serve, {"serve", "--board", "1"});
        QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
        if (!left.isEmpty())
            QCOMPARE(rig.writes().value(0), writeOf(left));
        QCOMPARE(rig.run({"play", "p.txt", "--repeat", "--resolution", "1"}).status, 0);
        QTRY_VERIFY(QFile::exists(last));
        QTest::qWait(5 + 7 * round);
        ::kill(static_cast<pid_t>(serve.processId()), SIGKILL);
        serve.waitForFinished();
        QFile file(last);
        QVERIFY(file.open(QIODevice::ReadOnly));
        left = QString::fromLatin1(file.readAll());
        QVERIFY2(patterns.contains(left), qPrintable(left));
        QFile::remove(rig.path("run/tambrook/sim1.sock"));
    }
}

// Each step is held max(delay, 1) ticks and written once; on a pipe nothing is printed.
void CliTest::playRunsTheProgramToItsEnd() {
    CliRig rig(1, QStringLiteral("ff"));
    rig.write("p.txt", "10000000-3\n01000000-0\r\n00100000-1");
    const Result result = rig.run({"play", "p.txt", "--resolution", "2"});
    QCOMPARE(result.status, 0);
    QVERIFY(result.out.isEmpty());
    QVERIFY(result.errLines.isEmpty());
    const QStringList trace = rig.takeTrace();
    QCOMPARE(trace.filter(QRegularExpression(QStringLiteral("^write "))),
             (QStringList{"write 01 ok", "write 02 ok", "write 04 ok"}));
    QCOMPARE(trace.last(), QStringLiteral("close ok"));
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("00100000\n"));
}

void CliTest::playWithRepeatStopsAtASignalAfterTheCurrentStep_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("status");
    QTest::newRow("SIGINT") << SIGINT << 0;
    QTest::newRow("SIGTERM") << SIGTERM << 0;
    QTest::newRow("SIGHUP") << SIGHUP << 129;
    QTest::newRow("SIGQUIT") << SIGQUIT << 131;
    QTest::newRow("SIGPIPE") << SIGPIPE << 141;
}

// Every stop signal ends the run after the current write and closes the board.
void CliTest::playWithRepeatStopsAtASignalAfterTheCurrentStep() {
    QFETCH(int, signal);
    QFETCH(int, status);
    CliRig rig(1);
    rig.write("p.txt", "11000000-1\r\n00110000-1\r\n00001100-1\r\n");
    QProcess process;
    rig.start(process, {"play", "p.txt", "--repeat", "--resolution", "3"});
    // Many times round the three steps, however long a loaded or sanitized start takes.
    QTRY_VERIFY_WITH_TIMEOUT(rig.allWrites().size() > 6, 10000);
    QVERIFY(signalChild(process, signal));
    const Result result = CliRig::finish(process);
    QCOMPARE(result.status, status);
    QVERIFY(result.errLines.isEmpty());
    const QStringList trace = rig.takeTrace();
    const QStringList writes = trace.filter(QRegularExpression(QStringLiteral("^write ")));
    QVERIFY(writes.size() > 6);                         // it looped
    QCOMPARE(trace.last(), QStringLiteral("close ok")); // no write after the stop
    // The relays keep the step that was playing.
    const QString last = writes.last().mid(6, 2);
    const QString pattern = rig.run({"get"}).out.trimmed();
    const QHash<QString, QString> patterns{
        {"03", "11000000"}, {"0c", "00110000"}, {"30", "00001100"}};
    QCOMPARE(pattern, patterns.value(last));
}

// The same reader and limits as "Open File": too large, not a regular file, a row that cannot be
// played.
// play keeps its run when its board goes away and gives the board the current step when it is
// back; the program still ends by its clock.
void CliTest::playGoesOnThroughAnUnplug() {
    CliRig rig(1);
    rig.write("p.txt", "10000000-3\r\n01000000-3\r\n00100000-3\r\n00010000-3\r\n00001000-3\r\n"
                       "00000100-3\r\n00000010-3\r\n");
    QProcess play;
    rig.start(play, {"play", "p.txt", "--resolution", "100"});
    LogOf log(play);
    QStringList seen;
    QTRY_VERIFY2((seen += rig.takeTrace()).contains(QStringLiteral("write 01 ok")),
                 qPrintable(seen.join(", ") + log.text()));
    rig.write("unplugged", "1\n");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("the program goes on")), 5000);
    rig.write("unplugged", "");
    QTRY_VERIFY_WITH_TIMEOUT(log.has(QStringLiteral("board 1 is back")), 5000);
    QVERIFY(play.waitForFinished(10000));
    QCOMPARE(play.exitCode(), 0);
    const QStringList trace = rig.takeTrace();
    const qsizetype reopened = trace.lastIndexOf(QStringLiteral("open 0 ok"));
    QVERIFY2(reopened > 0 && trace[reopened + 1].startsWith(QStringLiteral("write ")),
             qPrintable(trace.join(", ")));
    QCOMPARE(trace.last(), QStringLiteral("close ok"));
    QCOMPARE(trace[trace.size() - 2], QStringLiteral("write 40 ok")); // the last step
    QCOMPARE(rig.run({"get"}).out, QStringLiteral("00000010\n"));
}

void CliTest::playRefusesWhatOpenFileRefuses() {
    CliRig rig(1);
    QFile big(rig.path("big.txt"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(16 * 1024 * 1024 + 1));
    big.close();
    for (const char* file : {"big.txt", "."}) {
        const Result refused = rig.run({"play", file});
        QCOMPARE(refused.status, 2);
        QCOMPARE(refused.errLines.size(), 1);
        QVERIFY(refused.errLines[0].contains(QLatin1String(file)));
    }
    QVERIFY(rig.takeTrace().filter(QRegularExpression(QStringLiteral("^open "))).isEmpty());
}

// Every step is checked before the board is opened: a row that cannot be played anywhere in the
// program is named by its line, and nothing is opened or written.
void CliTest::playChecksEveryStepFirst() {
    CliRig rig(1);
    rig.write("short.txt", "10000000-1\r\n01000000-1\r\n1111\r\n");
    rig.write("nul.txt", QByteArray("10000000-1\n\0\n", 14));
    // A delay text that is no number keeps the count of the step before, which must fit in its
    // three characters: 1000 does not, 5 does.
    rig.write("long.txt", "10000000-1000\r\n00000000-x:y\r\n");
    rig.write("fits.txt", "10000000-5\r\n00000000-x:y\r\n");
    for (const auto& [file, line] : {std::pair{"short.txt", 3}, {"nul.txt", 2}, {"long.txt", 2}}) {
        const Result bad = rig.run({"play", QString::fromLatin1(file), "--repeat"});
        QCOMPARE(bad.status, 2);
        QCOMPARE(bad.errLines.size(), 1);
        const QString named = QStringLiteral("line %1 of %2 cannot be played").arg(line).arg(file);
        QVERIFY2(bad.errLines[0].contains(named), qPrintable(bad.errLines[0]));
        QVERIFY(rig.takeTrace().isEmpty());
    }
    const Result fits = rig.run({"play", "fits.txt"});
    QCOMPARE(fits.status, 0);
    QCOMPARE(rig.writes(), (QStringList{"write 01 ok", "write 00 ok"}));
}

// File names are bytes: a name that is not UTF-8 (Latin-1 "café.txt") is played like any other.
void CliTest::playTakesFileNamesAsBytes() {
    CliRig rig(1);
    const QByteArray name("caf\xe9.txt");
    const QByteArray path =
        QFile::encodeName(QFileInfo(rig.path("p.txt")).absolutePath()) + '/' + name;
    std::FILE* file = std::fopen(path.constData(), "wb");
    QVERIFY(file);
    std::fputs("00100000-1\r\n", file);
    std::fclose(file);
    const Result played =
        rig.runShell(QStringLiteral("exec \"$CLI\" play \"$(printf 'caf\\351.txt')\""));
    QCOMPARE(played.status, 0);
    QVERIFY(played.errLines.isEmpty());
    QCOMPARE(rig.writes(), QStringList{"write 04 ok"});
}

// script(1) gives the command a terminal; its output is the line, redrawn with carriage returns.
void CliTest::playShowsOneUpdatingLineOnATerminal() {
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    CliRig rig(1);
    rig.write("p.txt", "10000000-20\r\n01000000-20\r\n");
    QProcess terminal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("1"));
    terminal.setProcessEnvironment(environment);
    terminal.setWorkingDirectory(QFileInfo(rig.path("p.txt")).absolutePath());
    terminal.start(script,
                   {QStringLiteral("-qec"),
                    QStringLiteral(TAMBROOK_CLI) + QStringLiteral(" play p.txt --resolution 10"),
                    QStringLiteral("/dev/null")});
    QVERIFY(terminal.waitForFinished(30000));
    QCOMPARE(terminal.exitCode(), 0);
    const QString shown = QString::fromLocal8Bit(terminal.readAllStandardOutput());
    QVERIFY2(shown.contains(QLatin1String("\rstep 1 of 2, ")), qPrintable(shown));
    QVERIFY2(shown.contains(QLatin1String("\rstep 2 of 2, ")), qPrintable(shown));
    QCOMPARE(shown.count(QLatin1Char('\n')), 1); // one line, ended when the run ends
}

// reject: exit 2 and nothing written, whether the command opens the board or serve holds it; a
// program that breaks an interlock is refused at load with its line; switch: the relay goes on
// after the dead time, as the board's trace shows it.
void CliTest::interlocksAreKeptByTheCommandAndThroughServe() {
    CliRig rig(1, QStringLiteral("01")); // relay 1 on
    rig.write("boards.conf", "[sim1]\ninterlock = 1+2, 3+4\non_start = on\n");
    rig.write("p.txt", "10000000-1\r\n01000000-1\r\n00110000-1\r\n");
    const auto refused = [&](const QStringList& arguments, const char* says) {
        const Result result = rig.run(arguments);
        return result.status == 2 && result.errLines.size() == 1 &&
               result.errLines.front().contains(QLatin1String(says));
    };
    QVERIFY(refused({"on", "2"}, "relays 1 and 2 may never be on together (interlock 1+2)"));
    QVERIFY(refused({"play", "p.txt"}, "line 3 of p.txt cannot be played"));
    const Result pulse = rig.run({"pulse", "2", "--for", "50ms"}); // holding the board itself
    QCOMPARE(pulse.status, 2);
    QVERIFY(pulse.errLines.join('\n').contains(QLatin1String("interlock 1+2")));
    QProcess serve;
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QVERIFY(refused({"set", "00110000"}, "interlock 3+4"));
    QVERIFY(refused({"play", "p.txt"}, "line 3 of p.txt cannot be played"));
    QCOMPARE(rig.run({"off", "1"}).status, 0);
    QCOMPARE(rig.writes(), QStringList{"write 00 ok"});
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));
    // An on_start that would break an interlock is not written, and serve says why.
    QVERIFY(serve.readAllStandardError().contains("on_start gives are not written"));

    rig.write("boards.conf", "[sim1]\ninterlock = 1+2\ninterlock_policy = switch\n"
                             "interlock_dead_time = 100ms\n");
    QVERIFY(refused({"set", "11000000"}, "cannot tell which"));
    const qint64 traced = QFileInfo(rig.path("board.trace")).size();
    QCOMPARE(rig.run({"on", "1"}).status, 0);
    QCOMPARE(rig.run({"on", "2"}).status, 0); // waits the dead time itself
    rig.start(serve, {"serve", "--board", "1"});
    QTRY_VERIFY(QFile::exists(rig.path("run/tambrook/sim1.sock")));
    QCOMPARE(rig.run({"on", "1"}).status, 0); // returns once relay 2 is off
    QTRY_COMPARE(rig.run({"get"}).out, QStringLiteral("10000000\n"));
    QList<QByteArray> writes;
    for (const QByteArray& line : traceLines(rig.path("board.trace"), traced))
        if (line.contains(" write "))
            writes.push_back(line);
    // Relay 1 on; off and on by the command; off and on by serve. Each process times its own.
    QCOMPARE(writes.size(), 5);
    for (const int on : {2, 4}) {
        const qint64 offAt = writes[on - 1].split(' ').front().toLongLong();
        const qint64 onAt = writes[on].split(' ').front().toLongLong();
        QVERIFY2(onAt - offAt >= 100'000, writes[on].constData());
    }
    serve.terminate();
    QVERIFY(serve.waitForFinished(5000));

    // A relay whose state is unknown (a board that cannot read back) may be on: it counts.
    CliRig blind(1);
    blind.environment().insert(QStringLiteral("TAMBROOK_SIMULATED_READBACK"), QStringLiteral("0"));
    blind.write("boards.conf", "[sim1]\ninterlock = 1+2\n");
    QCOMPARE(blind.run({"on", "2"}).status, 2);
    QVERIFY(blind.allWrites().isEmpty());
}

QTEST_GUILESS_MAIN(CliTest)
#include "test_cli.moc"
