#include "share/Holder.h"
#include "support/Sockets.h"
#include "support/WindowRig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// A holder's server of its own for a test, on the rig's model, with its executor: serving, or
// why not.
struct Served {
    Served(model::Model& model, const std::string& id, share::ClientLimits limits = {})
        : executor(model, {id, "test"})
        , made(share::BoardServer::make(executor, {}, limits)) {}
    std::string failure() const {
        const auto* why = std::get_if<std::string>(&made);
        return why ? *why : std::string();
    }
    service::Executor executor;
    std::variant<std::unique_ptr<share::BoardServer>, std::string> made;
};

// One connection to a board's holder.
struct Client : SocketClient {
    explicit Client(const std::string& boardId)
        : SocketClient(share::socketPath(boardId)) {}
};

// The reply to one line, while the window's thread turns (it runs the holder's operations).
QJsonObject ask(Client& client, const std::string& line) {
    std::future<std::string> reply = std::async(std::launch::async, [&] {
        client.send(line + "\n");
        return client.line();
    });
    while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply.get())).object();
}

bool ok(const QJsonObject& reply) {
    return reply.value(QStringLiteral("ok")).toBool();
}

Log writesIn(const Log& log) {
    Log writes;
    for (const std::string& entry : log)
        if (entry.rfind("write ", 0) == 0)
            writes.push_back(entry);
    return writes;
}

} // namespace

class ShareTest : public QObject {
    Q_OBJECT
private slots:
    void theWindowServesTheBoardItHolds();
    void badRequestsWriteNothingAndOthersAreStillServed();
    void aWatcherHearsOfChangesAndOneThatNeverReadsHoldsUpNobody();
    void aWatcherIsToldOfEachChangeOnceAndOfTheNewest();
    void aLeftSocketIsReplacedALiveHolderIsNot();
    void holdersStartingAtOnceNeverBothServe();
    void differentIdsNeverShareAHolder();
    void aClientThatReadsNoRepliesIsLetGo();
    void aHolderKeepsABoundedNumberOfClients();
    void aClientWaitsForAHandlerThatRunsADialog();
};

// A script's set, on and off are one write each, and the window shows them at once; play loads
// the program into the window's list and starts it; stop acts as the button. Its state names
// the relays boards.conf names.
void ShareTest::theWindowServesTheBoardItHolds() {
    devices::BoardOptions named;
    named.relays[1].name = "Fan";
    Rig rig(1, {}, engine::Sequencer::Mode::Manual, {{"board1", named}});
    rig.openBoard(0x00);
    Client client("board1");
    QVERIFY(client.connected());
    const QJsonObject state = ask(client, R"({"request":"state"})");
    QVERIFY(ok(state));
    QCOMPARE(state.value(QStringLiteral("holder")).toString(), QStringLiteral("window"));
    QCOMPARE(state.value(QStringLiteral("names")).toObject(),
             (QJsonObject{{QStringLiteral("2"), QStringLiteral("Fan")}}));
    QCOMPARE(state.value(QStringLiteral("pid")).toInteger(), static_cast<qint64>(::getpid()));
    QCOMPARE(state.value(QStringLiteral("relays")).toString(), QStringLiteral("00000000"));
    QVERIFY(ok(ask(client, R"({"request":"set","relays":"10100000"})")));
    QCOMPARE(rig.take(), (Log{"write 05"}));
    verifyRelayViews(rig, 0x05);
    QVERIFY(ok(ask(client, R"({"request":"on","relays":[2]})")));
    QVERIFY(ok(ask(client, R"({"request":"off","relays":[1,3]})")));
    QCOMPARE(rig.take(), (Log{"write 07", "write 02"}));
    verifyRelayViews(rig, 0x02);
    const QJsonObject played = ask(
        client, R"({"request":"play","program":"10000000-50\r\n01000000-1\r\n","repeat":true})");
    QVERIFY(ok(played));
    QCOMPARE(played.value(QStringLiteral("run")).toString(), QStringLiteral("running"));
    QCOMPARE(gridRows(rig.grid()), (std::vector<QString>{"10000000-50", "01000000-1"}));
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Stop"));
    QCOMPARE(writesIn(rig.take()), (Log{"write 01"}));
    QVERIFY(ok(ask(client, R"({"request":"pause"})")));
    QCOMPARE(rig.button("Button35")->caption(), QStringLiteral("Resume"));
    QVERIFY(ok(ask(client, R"({"request":"stop"})")));
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Start"));
    QCOMPARE(rig.button("Button35")->caption(), QStringLiteral("Pause"));
    // Closing the window lets the board go: nobody serves it any more.
    rig.form1->close();
    QVERIFY(!Client("board1").connected());
}

// Every argument is checked before anything runs; a bad line gets one error line and the holder
// goes on serving this client and every other.
void ShareTest::badRequestsWriteNothingAndOthersAreStillServed() {
    Rig rig(1);
    rig.openBoard(0x00);
    Client client("board1");
    for (const char* bad :
         {"not json", "[1,2]", R"({"request":"toggle"})", R"({"request":"set","relays":"1010"})",
          R"({"request":"set","relays":"1010000x"})", R"({"request":"on","relays":[9]})",
          R"({"request":"on","relays":"2"})", R"({"request":"off","relays":[]})",
          R"({"request":"play"})", R"({"request":"play","program":"1111","repeat":true})",
          R"({"request":"play","program":"","resolution":0})",
          R"({"request":"play","program":"evening.txt"})"}) {
        const QJsonObject reply = ask(client, bad);
        QVERIFY2(!ok(reply), bad);
        QVERIFY2(!reply.value(QStringLiteral("error")).toString().isEmpty(), bad);
    }
    // A line over 64 KiB is refused once, whole, however long it is; the next line is served.
    client.send(std::string(10 * 1024 * 1024, 'x') + "\n");
    QCOMPARE(QJsonDocument::fromJson(QByteArray::fromStdString(client.line()))
                 .object()
                 .value(QStringLiteral("error")),
             QJsonValue(QStringLiteral("a line over 64 KiB")));
    QVERIFY(ok(ask(client, R"({"request":"state"})")));
    Client other("board1");
    QVERIFY(ok(ask(other, R"({"request":"state"})")));
    QCOMPARE(writesIn(rig.take()), Log{});
    QCOMPARE(rig.button("Button34")->caption(), QStringLiteral("Start"));
}

void ShareTest::aWatcherHearsOfChangesAndOneThatNeverReadsHoldsUpNobody() {
    Rig rig(1);
    rig.openBoard(0x00);
    Client watcher("board1");
    Client silent("board1");
    Client client("board1");
    QVERIFY(ok(ask(watcher, R"({"request":"watch"})")));
    silent.send("{\"request\":\"watch\"}\n"); // and never reads
    for (int i = 0; i < 200; ++i)
        QVERIFY(ok(ask(client, i % 2 ? R"({"request":"set","relays":"00000000"})"
                                     : R"({"request":"set","relays":"11000000"})")));
    QVERIFY(ok(ask(client, R"({"request":"set","relays":"00010000"})")));
    QJsonObject event;
    QTRY_VERIFY([&] {
        for (std::string line = watcher.line(50); !line.empty(); line = watcher.line(50))
            event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        return event.value(QStringLiteral("relays")).toString() == QLatin1String("00010000");
    }());
    QCOMPARE(event.value(QStringLiteral("event")).toString(), QStringLiteral("state"));
}

// A watcher is told of a change once, and of the newest state only: one that did not read for a
// while is told the state as it is now rather than a backlog of old ones, and one that has sent
// all it had to send (a half-closed socket, as socat leaves it) is still told.
void ShareTest::aWatcherIsToldOfEachChangeOnceAndOfTheNewest() {
    Rig rig(1);
    rig.openBoard(0x00);
    Client reading("board1");
    Client sleeping("board1");
    Client halfClosed("board1");
    Client client("board1");
    for (Client* watcher : {&reading, &sleeping, &halfClosed})
        QVERIFY(ok(ask(*watcher, R"({"request":"watch"})")));
    halfClosed.sendNoMore();
    for (int i = 0; i < 5; ++i) { // the same pattern again: nothing a watcher sees changes
        QVERIFY(ok(ask(client, R"({"request":"set","relays":"00000000"})")));
        QTest::qWait(30);
    }
    QCOMPARE(reading.line(100), std::string());
    int told = 0;
    for (int i = 1; i <= 40; ++i) {
        QVERIFY(ok(ask(client, i % 2 ? R"({"request":"set","relays":"11000000"})"
                                     : R"({"request":"set","relays":"00110000"})")));
        for (std::string line = reading.line(30); !line.empty(); line = reading.line(10))
            ++told;
    }
    for (std::string line = reading.line(200); !line.empty(); line = reading.line(200))
        ++told;
    QVERIFY2(told >= 20 && told <= 40, qPrintable(QString::number(told))); // a change, a line
    for (Client* watcher : {&sleeping, &halfClosed}) {
        std::vector<QJsonObject> events;
        for (std::string line = watcher->line(200); !line.empty(); line = watcher->line(200))
            events.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        QVERIFY(!events.empty());
        QCOMPARE(events.back().value(QStringLiteral("relays")).toString(),
                 QStringLiteral("00110000"));
        for (std::size_t i = 1; i < events.size(); ++i)
            QVERIFY(events[i] != events[i - 1]);
        QVERIFY2(events.size() < 25, qPrintable(QString::number(events.size())));
    }
}

// A socket whose holder died is replaced by the next holder; a live holder's is not taken.
void ShareTest::aLeftSocketIsReplacedALiveHolderIsNot() {
    Rig rig;
    QVERIFY(QDir().mkdir(QString::fromStdString(share::socketFolder()),
                         QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    {
        const int left = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = socketAddress(share::socketPath("x1"));
        QCOMPARE(::bind(left, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(left); // the file stays, with nobody behind it
    }
    const Served first(rig.model, "x1");
    QCOMPARE(first.failure(), std::string());
    const Served second(rig.model, "x1");
    QCOMPARE(second.failure(), std::string("another holder serves x1"));
    QCOMPARE(share::ask("x1", {{QStringLiteral("request"), QStringLiteral("state")}}).kind,
             share::Answer::Kind::Answered);
    QCOMPARE(share::ask("nobody", {{QStringLiteral("request"), QStringLiteral("state")}}).kind,
             share::Answer::Kind::Free);
}

// Holders of one board that start at once: one serves, the others are told another does.
void ShareTest::holdersStartingAtOnceNeverBothServe() {
    Rig rig;
    for (int round = 0; round < 20; ++round) {
        std::vector<std::unique_ptr<Served>> servers(4);
        std::vector<std::thread> starting;
        std::atomic<bool> go{false};
        for (auto& server : servers)
            starting.emplace_back([&] {
                while (!go) {
                }
                server = std::make_unique<Served>(rig.model, "x1");
            });
        go = true;
        for (std::thread& thread : starting)
            thread.join();
        QCOMPARE(std::count_if(servers.begin(), servers.end(),
                               [](const auto& server) { return server->failure().empty(); }),
                 1);
    }
}

// Ids that differ in characters a file name cannot hold as they are have holders of their own;
// a request for one board is not taken by the holder of another, and a client does not take an
// answer about another board for its own.
void ShareTest::differentIdsNeverShareAHolder() {
    Rig rig(1);
    rig.openBoard(0x00);
    const QJsonObject state{{QStringLiteral("request"), QStringLiteral("state")}};
    const Served slash(rig.model, "A/B");
    const Served underscore(rig.model, "A_B");
    QCOMPARE(slash.failure(), std::string());
    QCOMPARE(underscore.failure(), std::string());
    for (const char* id : {"A/B", "A_B"})
        QCOMPARE(share::ask(id, state).reply.value(QStringLiteral("id")).toString(),
                 QLatin1String(id));
    // The holder of A_B found where C's would be.
    QCOMPARE(::rename(share::socketPath("A_B").c_str(), share::socketPath("C").c_str()), 0);
    const share::Answer moved = share::ask("C", {{QStringLiteral("request"), QStringLiteral("on")},
                                                 {QStringLiteral("relays"), QJsonArray{1}}});
    QCOMPARE(moved.kind, share::Answer::Kind::Answered);
    QCOMPARE(moved.reply.value(QStringLiteral("error")).toString(),
             QStringLiteral("this holder serves A_B, not C"));
    QCOMPARE(writesIn(rig.take()), Log{});
    // A holder that answers without looking at the id.
    const int careless = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = socketAddress(share::socketPath("D"));
    QCOMPARE(::bind(careless, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    QCOMPARE(::listen(careless, 1), 0);
    std::thread answering([careless] {
        const int peer = ::accept(careless, nullptr, nullptr);
        const std::string reply = "{\"ok\":true,\"id\":\"A_B\"}\n";
        [[maybe_unused]] const ssize_t sent = ::write(peer, reply.data(), reply.size());
        ::close(peer);
    });
    QCOMPARE(share::ask("D", state).kind, share::Answer::Kind::Untrusted);
    answering.join();
    ::close(careless);
}

// Replies pile up for a client that asks and never reads: past a bounded backlog it is let go,
// and everybody else is still served.
void ShareTest::aClientThatReadsNoRepliesIsLetGo() {
    Rig rig(1);
    rig.openBoard(0x00);
    Client flood("board1");
    std::string requests;
    for (int i = 0; i < 60000; ++i)
        requests += "{\"request\":\"state\"}\n";
    std::thread sender([&] { flood.send(requests); });
    sender.join();
    Client other("board1");
    QVERIFY(ok(ask(other, R"({"request":"state"})")));
    int replies = 0;
    while (!flood.line(2000).empty())
        ++replies;
    QVERIFY2(replies < 60000, qPrintable(QString::number(replies)));
}

// Past its limit a holder lets go of the client silent the longest, watchers last; one that does
// not watch is let go when silent too long.
void ShareTest::aHolderKeepsABoundedNumberOfClients() {
    Rig rig;
    const Served server(rig.model, "x1", {3, std::chrono::milliseconds(500)});
    Client watcher("x1");
    Client first("x1");
    Client second("x1");
    QVERIFY(ok(ask(watcher, R"({"request":"watch"})")));
    QVERIFY(ok(ask(first, R"({"request":"state"})")));
    QVERIFY(ok(ask(second, R"({"request":"state"})")));
    Client third("x1");
    QVERIFY(ok(ask(third, R"({"request":"state"})")));
    QVERIFY(first.closedByHolder(300));
    QVERIFY(ok(ask(second, R"({"request":"state"})")));
    QVERIFY(second.closedByHolder(2000));
    QVERIFY(third.closedByHolder(2000));
    QVERIFY(!watcher.closedByHolder(300));
}

// A request that comes while "Open File" shows its dialog, whose own event loop runs meanwhile, is
// served once the handler has ended, and its answer shows the state after it.
void ShareTest::aClientWaitsForAHandlerThatRunsADialog() {
    Rig rig(1);
    rig.openBoard(0x01);
    Client client("board1");
    std::future<std::string> reply;
    std::size_t writesDuringDialog = 0;
    rig.platform.duringOpenDialog = [&] {
        reply = std::async(std::launch::async, [&] {
            client.send(R"({"request":"on","relays":[2]})"
                        "\n");
            return client.line();
        });
        QElapsedTimer open;
        open.start();
        while (open.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        writesDuringDialog = rig.driver.writes.size();
    };
    rig.form1->Button19Click();
    while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const QJsonObject answer =
        QJsonDocument::fromJson(QByteArray::fromStdString(reply.get())).object();
    QCOMPARE(writesDuringDialog, std::size_t{0});
    QCOMPARE(rig.driver.writes, std::vector<std::uint8_t>{0x03});
    QCOMPARE(answer.value(QStringLiteral("relays")).toString(), QStringLiteral("11000000"));
}

QTEST_MAIN(ShareTest)
#include "test_share.moc"
