// tambrook-cli serve --mqtt against a real Mosquitto broker that each test starts itself on
// 127.0.0.1, driven with mosquitto_pub and mosquitto_sub.
#include "model/LabelFile.h"
#include "mqtt/Bridge.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

bool have(const char* program) {
    return !QStandardPaths::findExecutable(QLatin1String(program)).isEmpty() ||
           QFile::exists(QStringLiteral("/usr/sbin/") + QLatin1String(program));
}

// A broker of the test's own, on a free port, with the listener lines given.
class Broker {
public:
    explicit Broker(const QTemporaryDir& dir, QString extra = {})
        : dir_(dir)
        , extra_(std::move(extra)) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        probe.close();
        start();
    }
    ~Broker() { stop(); }
    int port() const { return port_; }
    QString url(const QString& scheme = QStringLiteral("mqtt"), const QString& user = {}) const {
        return scheme + QStringLiteral("://") + (user.isEmpty() ? QString() : user + '@') +
               QStringLiteral("127.0.0.1:%1").arg(port_);
    }
    void start() {
        QFile config(dir_.filePath(QStringLiteral("broker.conf")));
        config.open(QIODevice::WriteOnly);
        // Run as root, the broker would drop to its own user, which may not read the test's
        // private folder.
        config.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\n%2\n%3\n")
                         .arg(port_)
                         .arg(::geteuid() == 0 ? QStringLiteral("user root") : QString())
                         .arg(extra_.isEmpty() ? QStringLiteral("allow_anonymous true") : extra_)
                         .toUtf8());
        config.close();
        const QString mosquitto =
            have("mosquitto") &&
                    !QStandardPaths::findExecutable(QStringLiteral("mosquitto")).isEmpty()
                ? QStringLiteral("mosquitto")
                : QStringLiteral("/usr/sbin/mosquitto");
        process_.start(mosquitto, {QStringLiteral("-c"), config.fileName()});
        process_.waitForStarted();
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
            if (socket.waitForConnected(100))
                return;
            QThread::msleep(20);
        }
    }
    void stop() {
        process_.terminate();
        process_.waitForFinished(5000);
    }

private:
    const QTemporaryDir& dir_;
    QString extra_;
    int port_ = 0;
    QProcess process_;
};

// The command line's folder: simulated boards with a trace, a runtime folder, and the serve
// process.
class Rig {
public:
    Rig() {
        QDir(dir.path()).mkdir(QStringLiteral("run"));
        QDir(dir.path()).mkdir(QStringLiteral("programs"));
        environment.insert(QStringLiteral("TAMBROOK_SIMULATED_BOARDS"), QStringLiteral("1"));
        environment.insert(QStringLiteral("TAMBROOK_SIMULATED_STATE"), path("board.state"));
        environment.insert(QStringLiteral("TAMBROOK_SIMULATED_TRACE"), path("board.trace"));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path("run"));
    }
    ~Rig() {
        serve.terminate();
        serve.waitForFinished(5000);
    }
    QString path(const char* name) const { return dir.filePath(QLatin1String(name)); }
    void startServing(QStringList arguments) {
        serve.setProcessEnvironment(environment);
        serve.setWorkingDirectory(dir.path());
        serve.start(
            QStringLiteral(TAMBROOK_CLI),
            QStringList{QStringLiteral("serve"), QStringLiteral("--board"), QStringLiteral("1")} +
                arguments);
        serve.waitForStarted();
    }
    QString log() {
        log_ += QString::fromLocal8Bit(serve.readAllStandardError());
        return log_;
    }
    // The writes the board has had so far.
    QStringList writes() const {
        QFile file(path("board.trace"));
        QStringList found;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (line.contains(" write "))
                    found << QString::fromLatin1(line.mid(line.indexOf(" write ") + 1));
        return found;
    }

    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    QProcess serve;

private:
    QString log_;
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
    void anUnpluggedBoardIsOfflineAndLeavesHomeAssistantWhenServeStops();
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
    QCOMPARE(mqtt::topicLevel("a/b+c#d"), std::string("a_b_c_d"));
}

// Commands arrive on .../set topics; the state, each relay and the program are retained and
// follow the pins.
void MqttTest::commandsSwitchRelaysAndTheStateIsRetained() {
    QTemporaryDir dir;
    Broker broker(dir);
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    QCOMPARE(retained(broker, QStringLiteral("tambrook/sim1/availability")),
             QStringLiteral("online"));
    publish(broker, QStringLiteral("tambrook/sim1/relay/2/set"), "ON");
    QTRY_COMPARE(rig.writes(), QStringList{"write 02 ok"});
    QTRY_COMPARE(retained(broker, QStringLiteral("tambrook/sim1/state")),
                 QStringLiteral("01000000"));
    QCOMPARE(retained(broker, QStringLiteral("tambrook/sim1/relay/2")), QStringLiteral("ON"));
    publish(broker, QStringLiteral("tambrook/sim1/relay/2/set"), "TOGGLE");
    publish(broker, QStringLiteral("tambrook/sim1/state/set"), "10000001");
    QTRY_COMPARE(rig.writes(), (QStringList{"write 02 ok", "write 00 ok", "write 81 ok"}));
    QTRY_COMPARE(retained(broker, QStringLiteral("tambrook/sim1/relay/8")), QStringLiteral("ON"));
    publish(broker, QStringLiteral("tambrook/sim1/program/play"), "10000000-1\r\n01000000-500\r\n");
    QTRY_COMPARE(rig.writes().mid(3), (QStringList{"write 01 ok", "write 02 ok"}));
    // The state is published at most every 50 ms: the second step shows within that.
    const auto program = [&] {
        return QJsonDocument::fromJson(
                   retained(broker, QStringLiteral("tambrook/sim1/program")).toUtf8())
            .object();
    };
    QTRY_COMPARE(program().value(QStringLiteral("row")).toInt(), 2);
    QCOMPARE(program().value(QStringLiteral("state")).toString(), QStringLiteral("running"));
    publish(broker, QStringLiteral("tambrook/sim1/program/stop"), "");
    QTRY_VERIFY(
        retained(broker, QStringLiteral("tambrook/sim1/program")).contains(QStringLiteral("idle")));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    QCOMPARE(retained(broker, QStringLiteral("tambrook/sim1/availability")),
             QStringLiteral("offline"));
}

// A command left retained on the broker would fire at every reconnection: it is ignored, as is
// every payload that is not understood, too long, or a program name outside the folder.
void MqttTest::retainedAndBadCommandsChangeNothing() {
    QTemporaryDir dir;
    Broker broker(dir);
    publish(broker, QStringLiteral("tambrook/sim1/relay/1/set"), "ON", true);
    Rig rig;
    QFile secret(rig.path("secret.txt"));
    secret.open(QIODevice::WriteOnly);
    secret.write("11111111-1\r\n");
    secret.close();
    rig.startServing({QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--programs"),
                      rig.path("programs")});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("retained command")), 10000);
    for (const auto& [topic, payload] : std::initializer_list<std::pair<const char*, QByteArray>>{
             {"tambrook/sim1/relay/1/set", "MAYBE"},
             {"tambrook/sim1/relay/9/set", "ON"},
             {"tambrook/sim1/relay/1/set", QByteArray(70 * 1024, 'O')},
             {"tambrook/sim1/state/set", "12"},
             {"tambrook/sim1/program/play", "../secret.txt"},
             {"tambrook/sim1/program/play", "night-lights.txt"},
             {"tambrook/sim1/program/play", "1111\r\n"}})
        publish(broker, QLatin1String(topic), payload);
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().count(QStringLiteral("ignored")) >= 6, 5000);
    QVERIFY(rig.log().contains(QStringLiteral("over 64 KiB")));
    QCOMPARE(rig.writes(), QStringList{});
    publish(broker, QStringLiteral("tambrook/sim1/relay/1/set"), "", true); // clear it
}

// One switch per relay and one button per program, with the fields Home Assistant needs; a
// Home Assistant that comes back online gets them again.
void MqttTest::discoveryDescribesEveryRelayAndProgram() {
    QTemporaryDir dir;
    Broker broker(dir);
    Rig rig;
    labels::LabelTable labels = labels::defaultLabels();
    labels[0] = "Pump on"; // relay 1's ON and OFF labels, in serve's working folder
    labels[8] = "Pump off";
    QVERIFY(labels::writeLabelsFile(rig.path("labels.dat"), labels));
    QFile program(rig.path("programs/evening.txt"));
    program.open(QIODevice::WriteOnly);
    program.write("00000001-1\r\n");
    program.close();
    rig.startServing({QStringLiteral("--mqtt"), broker.url(), QStringLiteral("--programs"),
                      rig.path("programs")});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    const QStringList configs = subscribe(broker, QStringLiteral("homeassistant/#"), 9);
    QCOMPARE(configs.size(), 9);
    for (const QString& line : configs) {
        const QString topic = line.section(' ', 0, 0);
        const QJsonObject config = QJsonDocument::fromJson(line.section(' ', 1).toUtf8()).object();
        QVERIFY2(!config.value(QStringLiteral("unique_id")).toString().isEmpty(), qPrintable(line));
        QVERIFY(config.value(QStringLiteral("command_topic"))
                    .toString()
                    .startsWith(QStringLiteral("tambrook/sim1/")));
        QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
                 QStringLiteral("tambrook/sim1/availability"));
        QCOMPARE(config.value(QStringLiteral("device"))
                     .toObject()
                     .value(QStringLiteral("identifiers"))
                     .toArray()
                     .first()
                     .toString(),
                 QStringLiteral("tambrook_sim1"));
        if (topic.startsWith(QStringLiteral("homeassistant/switch/"))) {
            QVERIFY(config.value(QStringLiteral("state_topic"))
                        .toString()
                        .startsWith(QStringLiteral("tambrook/sim1/relay/")));
            QVERIFY(config.value(QStringLiteral("name"))
                        .toString()
                        .startsWith(QStringLiteral("Relay ")));
            // Only a relay whose labels are not the defaults carries them in its name.
            const QString name = config.value(QStringLiteral("name")).toString();
            if (topic.contains(QStringLiteral("/relay1/")))
                QCOMPARE(name, QStringLiteral("Relay 1 (Pump on / Pump off)"));
            else
                QVERIFY2(!name.contains(QLatin1Char('(')), qPrintable(name));
        } else {
            QCOMPARE(topic, QStringLiteral(
                                "homeassistant/button/tambrook_sim1/program_evening.txt/config"));
            QCOMPARE(config.value(QStringLiteral("payload_press")).toString(),
                     QStringLiteral("evening.txt"));
        }
    }
    // The button's press plays the file.
    publish(broker, QStringLiteral("tambrook/sim1/program/play"), "evening.txt");
    QTRY_COMPARE(rig.writes(), QStringList{"write 80 ok"});
    const QString relay1 = QStringLiteral("homeassistant/switch/tambrook_sim1/relay1/config");
    publish(broker, relay1, "", true);
    QCOMPARE(retained(broker, relay1), QString());
    publish(broker, QStringLiteral("homeassistant/status"), "online");
    QTRY_VERIFY(!retained(broker, relay1).isEmpty());
}

// The broker goes away and comes back empty (no persistence): serve connects again and
// publishes the retained state again; nothing sent meanwhile is replayed as a command.
void MqttTest::aBrokerThatRestartsGetsTheStateAgainAndNoCommandIsReplayed() {
    QTemporaryDir dir;
    Broker broker(dir);
    Rig rig;
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    publish(broker, QStringLiteral("tambrook/sim1/state/set"), "00110000");
    QTRY_COMPARE(rig.writes(), QStringList{"write 0c ok"});
    broker.stop();
    QTest::qWait(500);
    broker.start();
    QTRY_COMPARE_WITH_TIMEOUT(retained(broker, QStringLiteral("tambrook/sim1/state"), {}),
                              QStringLiteral("00110000"), 40000);
    QCOMPARE(retained(broker, QStringLiteral("tambrook/sim1/availability")),
             QStringLiteral("online"));
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
    QFile extensions(dir.filePath(QStringLiteral("san.ext")));
    extensions.open(QIODevice::WriteOnly);
    extensions.write("subjectAltName=IP:127.0.0.1\n");
    extensions.close();
    QVERIFY(
        openssl({"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                 "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "san.ext"}));
    Broker broker(dir, QStringLiteral("allow_anonymous false\npassword_file %1\ncafile %2\n"
                                      "certfile %3\nkeyfile %4\n")
                           .arg(passwords, dir.filePath(QStringLiteral("ca.crt")),
                                dir.filePath(QStringLiteral("server.crt")),
                                dir.filePath(QStringLiteral("server.key"))));
    Rig rig;
    QFile password(rig.path("password"));
    password.open(QIODevice::WriteOnly);
    password.write("s3cret\n");
    password.close();
    rig.startServing({QStringLiteral("--mqtt"),
                      broker.url(QStringLiteral("mqtts"), QStringLiteral("home")),
                      QStringLiteral("--mqtt-password-file"), rig.path("password"),
                      QStringLiteral("--mqtt-ca"), dir.filePath(QStringLiteral("ca.crt"))});
    QTRY_VERIFY2_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")),
                              qPrintable(rig.log()), 10000);
    const QStringList client{QStringLiteral("-u"),       QStringLiteral("home"),
                             QStringLiteral("-P"),       QStringLiteral("s3cret"),
                             QStringLiteral("--cafile"), dir.filePath(QStringLiteral("ca.crt"))};
    QCOMPARE(retained(broker, QStringLiteral("tambrook/sim1/availability"), client),
             QStringLiteral("online"));
    publish(broker, QStringLiteral("tambrook/sim1/relay/5/set"), "ON", false, client);
    QTRY_COMPARE(rig.writes(), QStringList{"write 10 ok"});
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    {
        // A broker whose CA nobody trusts is never connected to.
        Rig untrusting;
        untrusting.environment.insert(QStringLiteral("TAMBROOK_MQTT_PASSWORD"),
                                      QStringLiteral("s3cret"));
        untrusting.startServing({QStringLiteral("--mqtt"),
                                 broker.url(QStringLiteral("mqtts"), QStringLiteral("home"))});
        QTest::qWait(1500);
        QVERIFY(!untrusting.log().contains(QStringLiteral("connected sim1")));
    }
    // Without --mqtt-ca the system's store is trusted; here the test CA stands in for it.
    Rig system;
    system.environment.insert(QStringLiteral("SSL_CERT_FILE"),
                              dir.filePath(QStringLiteral("ca.crt")));
    system.environment.insert(QStringLiteral("TAMBROOK_MQTT_PASSWORD"), QStringLiteral("s3cret"));
    system.startServing(
        {QStringLiteral("--mqtt"), broker.url(QStringLiteral("mqtts"), QStringLiteral("home"))});
    QTRY_VERIFY2_WITH_TIMEOUT(system.log().contains(QStringLiteral("connected sim1")),
                              qPrintable(system.log()), 10000);
}

void MqttTest::anUnpluggedBoardIsOfflineAndLeavesHomeAssistantWhenServeStops() {
    QTemporaryDir dir;
    Broker broker(dir);
    Rig rig;
    rig.environment.insert(QStringLiteral("TAMBROOK_SIMULATED_FAULTS"),
                           QStringLiteral("unplug-after=14"));
    rig.startServing({QStringLiteral("--mqtt"), broker.url()});
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("connected sim1")), 10000);
    const QString relay1 = QStringLiteral("homeassistant/switch/tambrook_sim1/relay1/config");
    QVERIFY(!retained(broker, relay1).isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(rig.log().contains(QStringLiteral("sim1 was unplugged")), 15000);
    QTRY_COMPARE(retained(broker, QStringLiteral("tambrook/sim1/availability")),
                 QStringLiteral("offline"));
    rig.serve.terminate();
    QVERIFY(rig.serve.waitForFinished(5000));
    QCOMPARE(retained(broker, relay1), QString());
}

QTEST_GUILESS_MAIN(MqttTest)
#include "test_mqtt.moc"
