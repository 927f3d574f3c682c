// tambrook-cli serve --mqtt against a real Mosquitto broker that each test starts itself on
// 127.0.0.1, driven with mosquitto_pub and mosquitto_sub.
#include "model/LabelFile.h"
#include "mqtt/Bridge.h"
#include "mqtt/Commands.h"
#include "support/Broker.h"
#include "support/Cli.h"
#include "support/Files.h"
#include "support/Processes.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

bool have(const char* program) {
    return !QStandardPaths::findExecutable(QLatin1String(program)).isEmpty() ||
           QFile::exists(QStringLiteral("/usr/sbin/") + QLatin1String(program));
}

// serve on simulated boards with a trace, in a folder of its own.
class Rig : public CliRig {
public:
    Rig() { QDir().mkdir(path("programs")); }
    ~Rig() {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    // A simulated board is known by its name only on this host: its topics carry the host's.
    QString topic(const QString& under, const QString& board = QStringLiteral("sim1")) const {
        return QStringLiteral("tambrook/%1@%2/%3").arg(board, node, under);
    }
    void startServing(QStringList arguments, const QStringList& boards = {QStringLiteral("--board"),
                                                                          QStringLiteral("1")}) {
        start(serve, QStringList{QStringLiteral("serve")} + boards + arguments);
    }
    QString log() { return serveLog.refresh(); }
    // The writes the board has had so far.
    QStringList writes() const { return allWrites(); }

    QProcess serve;
    QString node = QSysInfo::machineHostName(); // as --mqtt-node sets it

private:
    LogOf serveLog{serve};
};

QStringList clientOptions(const Broker& broker, const QStringList& more) {
    return QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                       QString::number(broker.port())} +
           more;
}

// "topic payload" lines of the retained or new messages, at most `count`, within `seconds`.
QStringList subscribe(const Broker& broker, const QString& topic, int count, int seconds = 3,
                      const QStringList& more = {}) {
    QProcess sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              clientOptions(broker, more) +
                  QStringList{QStringLiteral("-t"), topic, QStringLiteral("-v"),
                              QStringLiteral("-C"), QString::number(count), QStringLiteral("-W"),
                              QString::number(seconds)});
    sub.waitForFinished((seconds + 2) * 1000);
    return QString::fromUtf8(sub.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

void publish(const Broker& broker, const QString& topic, const QByteArray& payload,
             bool retain = false, const QStringList& more = {}) {
    QProcess pub;
    // An empty payload (which clears a retained message) is -n: -s would send nothing.
    QStringList arguments =
        clientOptions(broker, more) +
        QStringList{QStringLiteral("-t"), topic,
                    payload.isEmpty() ? QStringLiteral("-n") : QStringLiteral("-s")};
    if (retain)
        arguments << QStringLiteral("-r");
    pub.start(QStringLiteral("mosquitto_pub"), arguments);
    pub.write(payload);
    pub.closeWriteChannel();
    pub.waitForFinished(5000);
}

QString retained(const Broker& broker, const QString& topic, const QStringList& more = {}) {
    const QStringList lines = subscribe(broker, topic, 1, 5, more);
    return lines.isEmpty() ? QString() : lines.front().section(' ', 1);
}

} // namespace

class MqttTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void brokerUrlsAndTopicLevels();
    void commandsSwitchRelaysAndTheStateIsRetained();
    void retainedAndBadCommandsChangeNothing();
    void discoveryDescribesEveryRelayAndProgram();
    void aBrokerThatRestartsGetsTheStateAgainAndNoCommandIsReplayed();
    void aPasswordAndATlsListenerWork();
    void mqttsIsTlsOrNothing();
    void anUnpluggedBoardIsOfflineAndLeavesHomeAssistantWhenServeStops();
    void aBrokerDownAtTheStartIsConnectedToOnceItIsUp();
    void boardsOfTwoHostsAndTwoServesOfOneBoard();
    void aCallThatFailsIsLoggedOnce();
    void aHugePublishIsNeverHeld();
    void anInterlockRefusesACommandAndAProgramAndSaysWhy();
};

void MqttTest::initTestCase() {
    if (!have("mosquitto") || !have("mosquitto_pub") || !have("mosquitto_sub"))
        QSKIP("the Mosquitto broker and clients are not installed");
}

void MqttTest::brokerUrlsAndTopicLevels() {
    const auto parsed = mqtt::parseBrokerUrl("mqtts://home@broker.lan:8884");
    QVERIFY(std::holds_alternative<mqtt::BrokerSettings>(parsed));
    const auto& settings = std::get<mqtt::BrokerSettings>(parsed);
    QCOMPARE(settings.host, std::string("broker.lan"));
    QCOMPARE(settings.port, 8884);
    QVERIFY(settings.tls);
    QCOMPARE(settings.user, std::string("home"));
    QCOMPARE(std::get<mqtt::BrokerSettings>(mqtt::parseBrokerUrl("mqtt://10.0.0.2")).port, 1883);
    for (const char* bad : {"http://x", "mqtt://", "mqtt://u:secret@x", "mqtt://x:0",
                            "mqtt://x:99999", "mqtt://x:1a"})
        QVERIFY2(std::holds_alternative<std::string>(mqtt::parseBrokerUrl(bad)), bad);
    QCOMPARE(mqtt::topicLevel("1-1.4"), std::string("1-1.4"));
    QCOMPARE(mqtt::topicLevel("a/b+c#d"), std::string("a%2Fb%2Bc%23d"));
    QVERIFY(mqtt::topicLevel("A/B") != mqtt::topicLevel("A_B"));
    QVERIFY(mqtt::boardLevel({"x@lab", devices::IdSource::Serial}, "y") !=
            mqtt::boardLevel({"x", devices::IdSource::PortPath}, "lab"));
    // A port path names a board only on its host; a serial number names it anywhere.
    QCOMPARE(mqtt::boardLevel({"1-1.4", devices::IdSource::PortPath}, "lab"),
             std::string("1-1.4@lab"));
    QCOMPARE(mqtt::boardLevel({"A9XK3L", devices::IdSource::Serial}, "lab"), std::string("A9XK3L"));
    QCOMPARE(mqtt::printable("a\nb\\\x01\x7f\xff\xc3\xa9\xc2\x85"),
             std::string(R"(a\nb\\\x01\x7f\xffé\xc2\x85)"));
    QCOMPARE(mqtt::printable(std::string(41, 'x')), std::string(40, 'x') + "...");
}

// Commands arrive on .../set topics; the state, each relay and the program are retained and
// follow the pins.
void MqttTest::commandsSwitchRelaysAndTheStateIsRetained() {
    Broker broker;
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("availability"))), QStringLiteral("online"));
    publish(broker, rig.topic(QStringLiteral("relay/2/set")), "ON");
    QTRY_COMPARE(rig.writes(), QStringList{"write 02 ok"});
    QTRY_COMPARE(retained(broker, rig.topic(QStringLiteral("state"))), QStringLiteral("01000000"));
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("relay/2"))), QStringLiteral("ON"));
    publish(broker, rig.topic(QStringLiteral("relay/2/set")), "TOGGLE");
    publish(broker, rig.topic(QStringLiteral("state/set")), "10000001");
    QTRY_COMPARE(rig.writes(), (QStringList{"write 02 ok", "write 00 ok", "write 81 ok"}));
    QTRY_COMPARE(retained(broker, rig.topic(QStringLiteral("relay/8"))), QStringLiteral("ON"));
    publish(broker, rig.topic(QStringLiteral("program/play")), "10000000-1\r\n01000000-500\r\n");
    QTRY_COMPARE(rig.writes().mid(3), (QStringList{"write 01 ok", "write 02 ok"}));
    // The state is published at most every 50 ms: the second step shows within that.
    const auto program = [&] {
        return QJsonDocument::fromJson(
                   retained(broker, rig.topic(QStringLiteral("program"))).toUtf8())
            .object();
    };
    QTRY_COMPARE(program().value(QStringLiteral("row")).toInt(), 2);
    QCOMPARE(program().value(QStringLiteral("state")).toString(), QStringLiteral("running"));
    publish(broker, rig.topic(QStringLiteral("program/stop")), "");
    QTRY_VERIFY(
        retained(broker, rig.topic(QStringLiteral("program"))).contains(QStringLiteral("idle")));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("availability"))),
             QStringLiteral("offline"));
}

// A command left retained on the broker would fire at every reconnection: it is ignored, as is
// every payload that is not understood, too long, or a program name outside the folder. What a
// payload holds is logged escaped: it cannot forge a line, nor write a NUL or broken UTF-8.
void MqttTest::retainedAndBadCommandsChangeNothing() {
    Broker broker;
    Rig rig;
    publish(broker, rig.topic(QStringLiteral("relay/1/set")), "ON", true);
    rig.write("secret.txt", "11111111-1\r\n");
    rig.startServing({QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--programs"),
                      rig.path("programs")});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("retained command")), 10000);
    for (const auto& [topic, payload] : std::initializer_list<std::pair<const char*, QByteArray>>{
             {"relay/1/set", "MAYBE"},
             {"relay/9/set", "ON"},
             {"relay/1/set", QByteArray(70 * 1024, 'O')},
             {"state/set", "12"},
             {"program/play", "../secret.txt"},
             {"program/play", "night-lights.txt"},
             {"program/play", "1111\r\n"},
             {"relay/1/set", "x\ntambrook-cli: closed sim1"},
             {"state/set", QByteArray("\0\xff\xc3\xa9", 4)}})
        publish(broker, rig.topic(QLatin1String(topic)), payload);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(QStringLiteral("ignored")) >= 8, 5000);
    QTRY_VERIFY(rig.log().contains(QStringLiteral("over 64 KiB")));
    QVERIFY2(rig.log().contains(QStringLiteral("\"x\\ntambrook-cli: closed sim1\"")),
             qPrintable(rig.log()));
    QVERIFY(!rig.log().contains(QStringLiteral("\ntambrook-cli: closed")));
    QTRY_VERIFY(rig.log().contains(QStringLiteral("\"\\x00\\xffé\"")));
    QCOMPARE(rig.writes(), QStringList{});
    publish(broker, rig.topic(QStringLiteral("relay/1/set")), "", true); // clear it
}

// One switch per relay and one button per program, with the fields Home Assistant needs (a
// relay's name from boards.conf as its entity's); a Home Assistant that comes back online gets
// them again. It takes a discovery topic only when its node and object ids are [a-zA-Z0-9_-]:
// names with other characters are mapped, and two names never become one (the node's name has a
// dot, and so has a.txt, which a_txt must not meet).
void MqttTest::discoveryDescribesEveryRelayAndProgram() {
    Broker broker;
    Rig rig;
    rig.node = QStringLiteral("lab.kitchen");
    labels::LabelTable labels = labels::defaultLabels();
    labels[0] = "Pump on"; // relay 1's ON and OFF labels, in serve's working folder
    labels[8] = "Pump off";
    QVERIFY(labels::writeLabelsFile(rig.path("labels.dat"), labels));
    rig.write("boards.conf", "[sim1]\nrelay2.name = Garage door \xc3\xa9\n"); // UTF-8
    for (const char* name : {"evening.txt", "a.txt", "a_txt"}) {
        QVERIFY(writeFile(rig.path("programs/") + QLatin1String(name),
                          name == std::string("a_txt") ? "00000010-1\r\n" : "00000001-1\r\n"));
    }
    rig.startServing({QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--mqtt-node"),
                      rig.node, QStringLiteral("--programs"), rig.path("programs")});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    const QStringList configs = subscribe(broker, QStringLiteral("homeassistant/#"), 12);
    QCOMPARE(configs.size(), 11);
    const QRegularExpression homeAssistantTopic(
        QStringLiteral("^homeassistant/(switch|button)/[a-zA-Z0-9_-]+/[a-zA-Z0-9_-]+/config$"));
    const QRegularExpression homeAssistantId(QStringLiteral("^[a-zA-Z0-9_-]+$"));
    QSet<QString> topics;
    QSet<QString> uniqueIds;
    QSet<QString> devices;
    QMap<QString, QString> presses; // file name -> its button's topic
    for (const QString& line : configs) {
        const QString topic = line.section(' ', 0, 0);
        const QJsonObject config = QJsonDocument::fromJson(line.section(' ', 1).toUtf8()).object();
        QVERIFY2(homeAssistantTopic.match(topic).hasMatch(), qPrintable(topic));
        const QString uniqueId = config.value(QStringLiteral("unique_id")).toString();
        QVERIFY2(homeAssistantId.match(uniqueId).hasMatch(), qPrintable(line));
        topics << topic;
        uniqueIds << uniqueId;
        QVERIFY(config.value(QStringLiteral("command_topic"))
                    .toString()
                    .startsWith(rig.topic(QStringLiteral(""))));
        QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
                 rig.topic(QStringLiteral("availability")));
        const QJsonObject device = config.value(QStringLiteral("device")).toObject();
        devices << device.value(QStringLiteral("identifiers")).toArray().first().toString();
        QCOMPARE(device.value(QStringLiteral("name")).toString(),
                 QStringLiteral("Relay board sim1 on lab.kitchen"));
        if (topic.startsWith(QStringLiteral("homeassistant/switch/"))) {
            QVERIFY(config.value(QStringLiteral("state_topic"))
                        .toString()
                        .startsWith(rig.topic(QStringLiteral("relay/"))));
            // Only a relay whose labels are not the defaults carries them in its name; a name
            // from boards.conf replaces it.
            const QString name = config.value(QStringLiteral("name")).toString();
            QVERIFY(name.startsWith(QStringLiteral("Relay ")) ||
                    topic.contains(QStringLiteral("/relay2/")));
            if (topic.contains(QStringLiteral("/relay2/")))
                QCOMPARE(name, QStringLiteral("Garage door \u00e9"));
            else if (topic.contains(QStringLiteral("/relay1/")))
                QCOMPARE(name, QStringLiteral("Relay 1 (Pump on / Pump off)"));
            else
                QVERIFY2(!name.contains(QLatin1Char('(')), qPrintable(name));
        } else {
            presses[config.value(QStringLiteral("payload_press")).toString()] = topic;
        }
    }
    QCOMPARE(topics.size(), 11);
    QCOMPARE(uniqueIds.size(), 11);
    QCOMPARE(devices.size(), 1);
    QCOMPARE(presses.keys(), (QStringList{"a.txt", "a_txt", "evening.txt"}));
    // The button's press plays the file.
    publish(broker, rig.topic(QStringLiteral("program/play")), "evening.txt");
    QTRY_COMPARE(rig.writes(), QStringList{"write 80 ok"});
    publish(broker, rig.topic(QStringLiteral("program/play")), "a_txt");
    QTRY_COMPARE(rig.writes(), (QStringList{"write 80 ok", "write 40 ok"}));
    const QString relay1 = configs.filter(QStringLiteral("/relay1/")).front().section(' ', 0, 0);
    publish(broker, relay1, "", true);
    QCOMPARE(retained(broker, relay1), QString());
    publish(broker, QStringLiteral("homeassistant/status"), "online");
    QTRY_VERIFY(!retained(broker, relay1).isEmpty());
}

// The broker goes away and comes back empty (no persistence): serve connects again and
// publishes the retained state again; nothing sent meanwhile is replayed as a command.
void MqttTest::aBrokerThatRestartsGetsTheStateAgainAndNoCommandIsReplayed() {
    Broker broker;
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    publish(broker, rig.topic(QStringLiteral("state/set")), "00110000");
    QTRY_COMPARE(rig.writes(), QStringList{"write 0c ok"});
    broker.stop();
    QTest::qWait(500);
    broker.start();
    QTRY_COMPARE_WITH_TIMEOUT(retained(broker, rig.topic(QStringLiteral("state")), {}),
                              QStringLiteral("00110000"), 40000);
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("availability"))), QStringLiteral("online"));
    QCOMPARE(rig.writes(), QStringList{"write 0c ok"});
}

void MqttTest::aPasswordAndATlsListenerWork() {
    QTemporaryDir dir;
    const QString passwords = dir.filePath(QStringLiteral("passwords"));
    QProcess mosquittoPasswd;
    mosquittoPasswd.start(QStringLiteral("mosquitto_passwd"),
                          {QStringLiteral("-b"), QStringLiteral("-c"), passwords,
                           QStringLiteral("home"), QStringLiteral("s3cret")});
    QVERIFY(mosquittoPasswd.waitForFinished(5000));
    // A test CA, and a certificate for 127.0.0.1 that it signed.
    const auto openssl = [&](const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(QStringLiteral("openssl"), arguments);
        return process.waitForFinished(20000) && process.exitCode() == 0;
    };
    QVERIFY(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                     "ca.crt", "-days", "2", "-subj", "/CN=Tambrook test CA"}));
    QVERIFY(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out",
                     "server.csr", "-subj", "/CN=127.0.0.1"}));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("san.ext")), "subjectAltName=IP:127.0.0.1\n"));
    QVERIFY(
        openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.ext"}));
    Broker broker(QStringLiteral("allow_anonymous false\npassword_file %1\ncafile %2\n"
                                 "certfile %3\nkeyfile %4\n")
                      .arg(passwords, dir.filePath(QStringLiteral("ca.crt")),
                           dir.filePath(QStringLiteral("server.crt")),
                           dir.filePath(QStringLiteral("server.key"))));
    Rig rig;
    rig.write("password", "s3cret\n");
    rig.startServing({QStringLiteral("--mqtt"),
                      broker.url(QStringLiteral("mqtts"), QStringLiteral("home")),
                      QStringLiteral("--mqtt-password-file"), rig.path("password"),
                      QStringLiteral("--mqtt-ca"), dir.filePath(QStringLiteral("ca.crt"))});
    QTRY_VERIFY2_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")),
                              qPrintable(rig.log()), 10000);
    const QStringList client{QStringLiteral("-u"),       QStringLiteral("home"),
                             QStringLiteral("-P"),       QStringLiteral("s3cret"),
                             QStringLiteral("--cafile"), dir.filePath(QStringLiteral("ca.crt"))};
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("availability")), client),
             QStringLiteral("online"));
    publish(broker, rig.topic(QStringLiteral("relay/5/set")), "ON", false, client);
    QTRY_COMPARE(rig.writes(), QStringList{"write 10 ok"});
    // A reconnection makes its TLS handshake on a socket that does not wait, in the bridge's loop.
    broker.stop();
    QVERIFY(broker.start());
    QTRY_VERIFY2_WITH_TIMEOUT(rig.log().count(QStringLiteral("connected sim1")) == 2,
                              qPrintable(rig.log()), 15000);
    publish(broker, rig.topic(QStringLiteral("relay/6/set")), "ON", false, client);
    QTRY_COMPARE(rig.writes(), (QStringList{"write 10 ok", "write 30 ok"}));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    {
        // A broker whose CA nobody trusts is never connected to; the failure is logged once, not
        // at every try.
        Rig untrusting;
        untrusting.environment().insert(QStringLiteral("TAMBROOK_MQTT_PASSWORD"),
                                        QStringLiteral("s3cret"));
        untrusting.startServing({QStringLiteral("--mqtt"),
                                 broker.url(QStringLiteral("mqtts"), QStringLiteral("home"))});
        QTRY_VERIFY2_WITH_TIMEOUT(
            untrusting.log().contains(QStringLiteral("certificate verify failed")),
            qPrintable(untrusting.log()), 10000);
        QTest::qWait(3500); // two more tries, 1 s and 2 s later
        QVERIFY2(untrusting.log().count(QStringLiteral("cannot reach the broker")) == 1,
                 qPrintable(untrusting.log()));
        QVERIFY(!untrusting.log().contains(QStringLiteral("connected sim1")));
    }
    // Without --mqtt-ca the system's store is trusted; here the test CA stands in for it.
    Rig system;
    system.environment().insert(QStringLiteral("SSL_CERT_FILE"),
                                dir.filePath(QStringLiteral("ca.crt")));
    system.environment().insert(QStringLiteral("TAMBROOK_MQTT_PASSWORD"), QStringLiteral("s3cret"));
    system.startServing(
        {QStringLiteral("--mqtt"), broker.url(QStringLiteral("mqtts"), QStringLiteral("home"))});
    QTRY_VERIFY2_WITH_TIMEOUT(system.log().contains(QStringLiteral("connected sim1")),
                              qPrintable(system.log()), 10000);
}

// mqtts:// is TLS or nothing: a CA file that cannot be used stops serve at its start, and what a
// plain listener gets from it is a TLS handshake, never an MQTT CONNECT in clear.
void MqttTest::mqttsIsTlsOrNothing() {
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    const QString url = QStringLiteral("mqtts://home@127.0.0.1:%1").arg(listener.serverPort());
    Rig rig;
    rig.environment().insert(QStringLiteral("TAMBROOK_MQTT_PASSWORD"), QStringLiteral("s3cret"));
    rig.write("not-a-ca.crt", "hello\n");
    for (const auto& [file, why] : {std::pair{"no-such-ca.crt", "cannot read the CA file"},
                                    std::pair{"not-a-ca.crt", "holds no PEM certificate"}}) {
        rig.startServing(
            {QStringLiteral("--mqtt"), url, QStringLiteral("--mqtt-ca"), rig.path(file)});
        QVERIFY(rig.serve.waitForFinished(5000));
        QCOMPARE(rig.serve.exitCode(), 2);
        QVERIFY2(rig.log().contains(QLatin1String(why)), qPrintable(rig.log()));
    }
    QVERIFY(!listener.waitForNewConnection(0));
    rig.startServing({QStringLiteral("--mqtt"), url});
    QVERIFY(listener.waitForNewConnection(10000));
    QTcpSocket* const peer = listener.nextPendingConnection();
    QVERIFY(peer->bytesAvailable() > 0 || peer->waitForReadyRead(5000));
    QCOMPARE(peer->read(1), QByteArray(1, 0x16)); // a TLS handshake record; CONNECT is 0x10
}

void MqttTest::anUnpluggedBoardIsOfflineAndLeavesHomeAssistantWhenServeStops() {
    Broker broker;
    Rig rig;
    rig.environment().insert(QStringLiteral("TAMBROOK_SIMULATED_FAULTS"),
                             QStringLiteral("unplug-after=12"));
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    const QStringList relay1Config =
        subscribe(broker, QStringLiteral("homeassistant/switch/+/relay1/config"), 1);
    QCOMPARE(relay1Config.size(), 1);
    const QString relay1 = relay1Config.front().section(' ', 0, 0);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("sim1 was unplugged")), 15000);
    QTRY_COMPARE(retained(broker, rig.topic(QStringLiteral("availability"))),
                 QStringLiteral("offline"));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    QCOMPARE(retained(broker, relay1), QString());
}

// The broker down when serve starts: serve says so once, tries again (after 1 s, then longer)
// and connects once the broker is up. Stopping meanwhile does not wait for the broker, board by
// board.
void MqttTest::aBrokerDownAtTheStartIsConnectedToOnceItIsUp() {
    Broker broker({}, false);
    Rig many;
    many.environment().insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("20"));
    many.startServing({QStringLiteral("--mqtt"), broker.url()}, {QStringLiteral("--all")});
    QTRY_COMPARE_WITH_TIMEOUT(many.log().count(QStringLiteral("cannot reach the broker")), 20,
                              10000);
    many.serve.terminate();
    QVERIFY(many.serve.waitForFinished(5000)); // not 0.5 s for each board
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("cannot reach the broker")), 10000);
    QTest::qWait(3500); // two more tries, 1 s and 2 s later
    QCOMPARE(rig.log().count(QStringLiteral("cannot reach the broker")), 1);
    broker.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 20000);
    QCOMPARE(retained(broker, rig.topic(QStringLiteral("availability"))), QStringLiteral("online"));
}

// A simulated board's name is unique only on its host: two hosts' sim1 have topics of their own.
// A second serve of one board on one broker is refused and leaves the first alone; the first's
// last will frees the board when it dies.
void MqttTest::boardsOfTwoHostsAndTwoServesOfOneBoard() {
    Broker broker;
    Rig here;
    here.startServing({QStringLiteral("--mqtt"), broker.url()});
    Rig there;
    there.node = QStringLiteral("there");
    there.startServing(
        {QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--mqtt-node"), there.node});
    QTRY_VERIFY_WITH_TIMEOUT(here.log().contains(QStringLiteral("connected sim1")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(there.log().contains(QStringLiteral("connected sim1")), 10000);
    publish(broker, there.topic(QStringLiteral("relay/3/set")), "ON");
    QTRY_COMPARE(there.writes(), QStringList{"write 04 ok"});
    QCOMPARE(here.writes(), QStringList{});
    Rig again;
    again.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY2_WITH_TIMEOUT(again.log().contains(QStringLiteral("by another serve")),
                              qPrintable(again.log()), 10000);
    publish(broker, here.topic(QStringLiteral("relay/1/set")), "ON");
    QTRY_COMPARE(here.writes(), QStringList{"write 01 ok"});
    QCOMPARE(again.writes(), QStringList{});
    QCOMPARE(here.log().count(QStringLiteral("connected sim1")), 1);
    QCOMPARE(retained(broker, here.topic(QStringLiteral("availability"))),
             QStringLiteral("online"));
    ::kill(static_cast<pid_t>(here.serve.processId()), SIGKILL);
    QVERIFY(here.serve.waitForFinished(5000));
    QTRY_COMPARE(retained(broker, here.topic(QStringLiteral("availability"))),
                 QStringLiteral("offline"));
    Rig after;
    after.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(after.log().contains(QStringLiteral("connected sim1")), 10000);
}

// A broker that takes packets of at most 300 bytes refuses every discovery configuration: the
// failure is logged once, and the rest goes on.
void MqttTest::aCallThatFailsIsLoggedOnce() {
    Broker broker(QStringLiteral("allow_anonymous true\nmax_packet_size 300"));
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    QTRY_VERIFY(rig.log().contains(QStringLiteral("could not publish")));
    publish(broker, rig.topic(QStringLiteral("relay/1/set")), "ON");
    QTRY_COMPARE(retained(broker, rig.topic(QStringLiteral("relay/1"))), QStringLiteral("ON"));
    QCOMPARE(rig.log().count(QStringLiteral("could not publish")), 1);
    QCOMPARE(rig.log().count(QStringLiteral("connected sim1")), 1);
}

// A 200 MiB publish on a command topic is dropped by the broker, which serve asked for packets of
// at most 256 KiB: serve never holds it, and goes on taking commands.
void MqttTest::aHugePublishIsNeverHeld() {
    QTemporaryDir dir;
    Broker broker;
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    QFile huge(dir.filePath(QStringLiteral("huge")));
    QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(200 * 1024 * 1024)); // sparse
    huge.close();
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              clientOptions(broker, {QStringLiteral("-t"), rig.topic(QStringLiteral("state/set")),
                                     QStringLiteral("-f"), huge.fileName()}));
    QVERIFY(pub.waitForFinished(60000));
    publish(broker, rig.topic(QStringLiteral("relay/4/set")), "ON");
    QTRY_COMPARE_WITH_TIMEOUT(rig.writes(), QStringList{"write 08 ok"}, 20000);
    QFile status(QStringLiteral("/proc/%1/status").arg(rig.serve.processId()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray text = status.readAll();
    const QByteArray peak = text.mid(text.indexOf("VmHWM:")).split('\n').front().simplified();
    QVERIFY2(peak.split(' ').value(1).toLongLong() < 100 * 1024, peak.constData()); // KiB
    QVERIFY(!rig.log().contains(QStringLiteral("lost the broker")));
}

// The log says why, and nothing reaches the board: not relay 2 beside relay 1, not a program
// with a step that has both.
void MqttTest::anInterlockRefusesACommandAndAProgramAndSaysWhy() {
    Broker broker;
    Rig rig;
    rig.write("boards.conf", "[sim1]\ninterlock = 1+2\n");
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    publish(broker, rig.topic(QStringLiteral("relay/1/set")), "ON");
    QTRY_COMPARE(rig.writes(), QStringList{"write 01 ok"});
    publish(broker, rig.topic(QStringLiteral("relay/2/set")), "ON");
    publish(broker, rig.topic(QStringLiteral("program/play")), "00000000-1\r\n11000000-1\r\n");
    QTRY_VERIFY(rig.log().contains(QStringLiteral("(interlock 1+2); nothing was written")));
    QTRY_VERIFY(rig.log().contains(QStringLiteral("line 2 cannot be played")));
    QCOMPARE(rig.writes(), QStringList{"write 01 ok"});
}

QTEST_GUILESS_MAIN(MqttTest)
#include "test_mqtt.moc"
