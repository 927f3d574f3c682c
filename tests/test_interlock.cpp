// Interlocked relays (a motor's two directions): refused or switched with a dead time by a
// holder's socket, refused by the window's clicks, and programs that break one refused at load.
#include "share/Holder.h"
#include "support/Sockets.h"
#include "support/WindowRig.h"

#include <QtTest>

#include <mutex>

namespace {

devices::BoardOptions optionsOf(std::vector<std::vector<int>> groups,
                                devices::InterlockPolicy policy = devices::InterlockPolicy::Reject,
                                std::chrono::milliseconds deadTime = {}) {
    devices::BoardOptions options;
    options.interlocks = std::move(groups);
    options.interlockPolicy = policy;
    options.interlockDeadTime = deadTime;
    return options;
}

class NoPause final : public model::Pause {
public:
    void pause(int) override {}
};

// A served simulated board of a few milliseconds per call, and every write it received.
struct ServedBoard {
    explicit ServedBoard(devices::BoardOptions options)
        : boards(1, devices::testing::parseFaults("latency=5"), {{"sim1", std::move(options)}}) {
        boards.setTraceSink([this](const devices::testing::TraceRecord& call) {
            const std::lock_guard lock(traceLock);
            if (call.op == "write")
                writes.push_back(call);
        });
        if (model.openBoard(1, true) != model::Opening::Opened)
            qFatal("the simulated board did not open");
    }
    QJsonObject ask(const std::string& line) {
        client.send(line + "\n");
        return QJsonDocument::fromJson(QByteArray::fromStdString(client.line())).object();
    }
    std::vector<devices::testing::TraceRecord> written() {
        const std::lock_guard lock(traceLock);
        return std::exchange(writes, {});
    }

    QTemporaryDir runtime; // the socket's folder, the test's own
    bool runtimeSet = qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    SimulatedBoards boards;
    NoPause pause;
    model::Model model{boards.registry(), pause};
    service::Executor executor{model, {"sim1", "serve"}};
    std::unique_ptr<share::BoardServer> server =
        std::get<std::unique_ptr<share::BoardServer>>(share::BoardServer::make(executor));
    SocketClient client{share::socketPath("sim1")};
    std::mutex traceLock; // the executor's thread writes too
    std::vector<devices::testing::TraceRecord> writes;
};

bool refusedByInterlock(const QJsonObject& reply, const char* says) {
    return !reply.value(QStringLiteral("ok")).toBool() &&
           reply.value(QStringLiteral("interlock")).toBool() &&
           reply.value(QStringLiteral("error")).toString().contains(QLatin1String(says));
}

} // namespace

class InterlockTest : public QObject {
    Q_OBJECT
private slots:
    void aHolderRejectsAWriteThatBreaksAnInterlock();
    void aHolderSwitchesTheOthersOffForTheDeadTimeFirst();
    void theWindowRefusesAClickOrAFileThatBreaksAnInterlock();
};

// Nothing is written: not the pattern, not a step of a program that breaks it anywhere.
void InterlockTest::aHolderRejectsAWriteThatBreaksAnInterlock() {
    ServedBoard board(optionsOf({{1, 2}, {3, 4}}));
    QVERIFY(board.ask(R"({"request":"on","relays":[1,3]})").value(QStringLiteral("ok")).toBool());
    board.written();
    QVERIFY(refusedByInterlock(board.ask(R"({"request":"on","relays":[2]})"), "interlock 1+2"));
    QVERIFY(refusedByInterlock(board.ask(R"({"request":"set","relays":"00110000"})"),
                               "relays 3 and 4"));
    QVERIFY(refusedByInterlock(
        board.ask(R"({"request":"play","program":"10000000-1\r\n01000000-1\r\n11000000-1\r\n"})"),
        "line 3 cannot be played"));
    QVERIFY(board.ask(R"({"request":"off","relays":[1]})").value(QStringLiteral("ok")).toBool());
    QCOMPARE(board.written().size(), std::size_t{1});
    QCOMPARE(board.boards.boards().relays(0), 0x04);

    QVERIFY_THROWS_EXCEPTION(model::InterlockRefused, board.model.writeRelays(0x03));
}

// The relay goes on once the others have been off for the dead time, read from the board's own
// trace; a set of both cannot be decided and is refused, and a later write cancels what waits.
void InterlockTest::aHolderSwitchesTheOthersOffForTheDeadTimeFirst() {
    constexpr auto deadTime = std::chrono::milliseconds(80);
    ServedBoard board(optionsOf({{1, 2}}, devices::InterlockPolicy::Switch, deadTime));
    QVERIFY(
        board.ask(R"({"request":"set","relays":"10100000"})").value(QStringLiteral("ok")).toBool());
    board.written();
    const QJsonObject reply = board.ask(R"({"request":"on","relays":[2]})");
    QVERIFY(reply.value(QStringLiteral("ok")).toBool());
    QTRY_COMPARE_WITH_TIMEOUT(board.boards.boards().relays(0), 0x06, 10000);
    const std::vector<devices::testing::TraceRecord> writes = board.written();
    QCOMPARE(writes.size(), std::size_t{2});
    QCOMPARE(writes[0].values, std::string("04"));
    QCOMPARE(writes[1].values, std::string("06"));
    QVERIFY(writes[1].microseconds - writes[0].microseconds >= 80'000);

    QVERIFY(refusedByInterlock(board.ask(R"({"request":"set","relays":"11000000"})"),
                               "cannot tell which"));
    QVERIFY(board.ask(R"({"request":"on","relays":[1]})").value(QStringLiteral("ok")).toBool());
    QVERIFY(board.ask(R"({"request":"off","relays":[3]})").value(QStringLiteral("ok")).toBool());
    QTest::qWait(300); // past the dead time: relay 1 was cancelled and stays off
    QCOMPARE(board.boards.boards().relays(0), 0x00);
}

// One message box, nothing written, the views as they were.
void InterlockTest::theWindowRefusesAClickOrAFileThatBreaksAnInterlock() {
    Rig rig(1, {}, engine::Sequencer::Mode::Manual, {{"board1", optionsOf({{1, 2}})}});
    rig.openBoard(0x01);
    rig.take();
    rig.button("Button3")->click(); // relay 2
    QCOMPARE(rig.platform.errors.size(), 1);
    QVERIFY(rig.platform.errors.front().contains(QLatin1String("interlock 1+2")));
    rig.button("Button9")->click(); // ALL ON
    QCOMPARE(rig.platform.errors.size(), 2);
    QCOMPARE(rig.take(), Log{});
    verifyRelayViews(rig, 0x01);

    QVERIFY(writeFile(rig.path(QStringLiteral("both.txt")), "10000000-1\r\n11000000-1\r\n"));
    rig.platform.nextOpenName = rig.path(QStringLiteral("both.txt"));
    rig.button("Button19")->click();
    QCOMPARE(rig.platform.errors.size(), 3);
    QVERIFY(rig.platform.errors.back().startsWith(QLatin1String("Line 2 of")));

    // Under switch the click turns relay 1 off as its own click would, and relay 2 goes on from
    // the window's timer once the dead time has passed.
    Rig switching(1, {}, engine::Sequencer::Mode::Manual,
                  {{"board1", optionsOf({{1, 2}}, devices::InterlockPolicy::Switch,
                                        std::chrono::milliseconds(50))}});
    switching.openBoard(0x01);
    switching.button("Button3")->click(); // relay 2
    verifyRelayViews(switching, 0x00);
    QTRY_COMPARE_WITH_TIMEOUT(switching.state().relayByte, std::uint8_t{0x02}, 10000);
    verifyRelayViews(switching, 0x02);
    QVERIFY(switching.platform.errors.isEmpty());
}

QTEST_MAIN(InterlockTest)
#include "test_interlock.moc"
