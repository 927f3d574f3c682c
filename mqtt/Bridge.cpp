#include "mqtt/Bridge.h"
#include "mqtt/Commands.h"

#include "board/RelayMap.h"
#include "model/StepText.h"
#include "share/Operations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace mqtt {

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr auto kWatchInterval = std::chrono::milliseconds(2);
// At most this often is the state published: a program stepping every millisecond would
// otherwise send thousands of messages a second, whose network work competes with its steps and
// which nobody can follow. A change after a quiet spell still goes out within kWatchInterval.
constexpr auto kPublishGap = std::chrono::milliseconds(50);
constexpr char kDiscoveryPrefix[] = "homeassistant";

// What the broker sent is acknowledged at once rather than up to 40 ms later with the next
// reply: a broker that holds small packets back until its last one is acknowledged (Nagle's
// algorithm, Mosquitto's default) otherwise delays the next command by that long. The kernel
// leaves this mode by itself, so it is asked again after every packet read.
void acknowledgeAtOnce(mosquitto* client) {
    const int fd = mosquitto_socket(client);
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

// libmosquitto is set up once for the process and stays.
void initialiseLibrary() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

std::string json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

std::variant<BrokerSettings, std::string> parseBrokerUrl(const std::string& url) {
    BrokerSettings settings;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        settings.tls = true;
        settings.port = 8883;
    } else {
        return "a broker is mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: " + url;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos) {
        settings.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (settings.user.find(':') != std::string::npos)
            return "the password goes in --mqtt-password-file or TAMBROOK_MQTT_PASSWORD, not the "
                   "URL";
    }
    if (const std::size_t colon = rest.rfind(':');
        colon != std::string::npos && rest.back() != ']') {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
            std::stoi(port) > 65535)
            return "the broker's port is a number from 1 to 65535: " + url;
        settings.port = std::stoi(port);
        rest = rest.substr(0, colon);
    }
    if (rest.empty() || rest.find('/') != std::string::npos)
        return "the broker URL names no host: " + url;
    settings.host = rest;
    return settings;
}

std::string topicLevel(const std::string& id) {
    std::string level = id;
    for (char& c : level)
        if (c == '/' || c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    return level.empty() ? std::string("_") : level;
}

BoardBridge::BoardBridge(model::Model& model, std::string boardId, BrokerSettings settings, Log log)
    : model_(model)
    , id_(std::move(boardId))
    , settings_(std::move(settings))
    , prefix_(settings_.topicBase + '/' + topicLevel(id_))
    , log_(std::move(log)) {
    initialiseLibrary();
    const std::string clientId = settings_.hostName + "-tambrook-" + topicLevel(id_);
    client_ = mosquitto_new(clientId.c_str(), true, this); // a clean session: nothing replayed
    if (!client_) {
        log_("cannot make an MQTT client for " + id_);
        return;
    }
    mosquitto_connect_callback_set(client_, &BoardBridge::onConnect);
    mosquitto_message_callback_set(client_, &BoardBridge::onMessage);
    mosquitto_publish_callback_set(client_, [](mosquitto* client, void* self, int mid) {
        acknowledgeAtOnce(client);
        auto* bridge = static_cast<BoardBridge*>(self);
        const std::lock_guard lock(bridge->deliveredLock_);
        bridge->lastDelivered_ = mid;
        bridge->delivered_.notify_all();
    });
    mosquitto_reconnect_delay_set(client_, 1, 30, true);
    // Commands and state are a few bytes each: sent at once, not held back to be coalesced.
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!settings_.user.empty())
        mosquitto_username_pw_set(client_, settings_.user.c_str(),
                                  settings_.password.empty() ? nullptr
                                                             : settings_.password.c_str());
    const std::string will = prefix_ + "/availability";
    mosquitto_will_set(client_, will.c_str(), 7, "offline", 1, true);
    if (settings_.tls) {
        // Without a CA file, the system's store as OpenSSL finds it (SSL_CERT_FILE and
        // SSL_CERT_DIR override it, as for every OpenSSL program).
        const int result = settings_.caFile.empty()
                               ? mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                               : mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr,
                                                   nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            log_("the TLS settings for the broker were refused: " +
                 std::string(mosquitto_strerror(result)));
    }
    mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, kKeepAliveSeconds);
    mosquitto_loop_start(client_);
    watcher_ = std::thread([this] { watch(); });
}

// A clean disconnection sends no last will, so "offline" is published first and given a moment
// to reach the broker.
BoardBridge::~BoardBridge() {
    quit_ = true;
    if (watcher_.joinable())
        watcher_.join();
    if (!client_)
        return;
    int offline = -1;
    {
        const std::string topic = prefix_ + "/availability";
        std::unique_lock lock(deliveredLock_);
        mosquitto_publish(client_, &offline, topic.c_str(), 7, "offline", 1, true);
        delivered_.wait_for(lock, std::chrono::milliseconds(500),
                            [&] { return lastDelivered_ == offline; });
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void BoardBridge::onConnect(mosquitto*, void* self, int result) {
    auto* bridge = static_cast<BoardBridge*>(self);
    if (result != 0) {
        bridge->log_("the broker refused " + bridge->id_ + ": " + mosquitto_connack_string(result));
        return;
    }
    bridge->connected();
}

// On every (re)connection: the subscriptions, then everything retained again.
void BoardBridge::connected() {
    log_("connected " + id_ + " to the broker at " + settings_.host + ':' +
         std::to_string(settings_.port) + ", topics under " + prefix_);
    for (const std::string& topic :
         {prefix_ + "/relay/+/set", prefix_ + "/state/set", prefix_ + "/program/play",
          prefix_ + "/program/stop", std::string(kDiscoveryPrefix) + "/status"})
        mosquitto_subscribe(client_, nullptr, topic.c_str(), 1);
    publish(prefix_ + "/availability", available_ ? "online" : "offline");
    publishDiscovery(false);
    publishState(true);
}

void BoardBridge::onMessage(mosquitto* client, void* self, const mosquitto_message* message) {
    acknowledgeAtOnce(client);
    auto* bridge = static_cast<BoardBridge*>(self);
    const std::string topic = message->topic ? message->topic : "";
    if (static_cast<std::size_t>(message->payloadlen) > kMaxPayloadBytes) {
        bridge->log_("a payload over 64 KiB on " + topic + " was dropped");
        return;
    }
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    if (topic == std::string(kDiscoveryPrefix) + "/status") {
        if (payload == "online")
            bridge->publishDiscovery(false);
        return;
    }
    // A retained command would fire again at every reconnection.
    if (message->retain) {
        bridge->log_("a retained command on " + topic + " was ignored");
        return;
    }
    bridge->command(topic, payload);
}

void BoardBridge::command(const std::string& topic, const std::string& payload) {
    const std::string under = prefix_ + "/";
    const auto parsed = parseCommand(
        topic.rfind(under, 0) == 0 ? std::string_view(topic).substr(under.size()) : "", payload);
    if (const auto* why = std::get_if<std::string>(&parsed)) {
        log_(*why + " on " + topic + "; ignored");
        return;
    }
    const Command& command = std::get<Command>(parsed);
    switch (command.kind) {
    case Command::Kind::Switch:
        if (!share::switchRelays(model_, {command.relay}, command.how))
            log_(id_ + " did not take the write for " + topic);
        return;
    case Command::Kind::SetAll:
        if (!share::setRelays(model_, command.pattern))
            log_(id_ + " did not take the write for " + topic);
        return;
    case Command::Kind::Stop:
        share::stopProgram(model_);
        return;
    case Command::Kind::Play:
        break;
    }
    const std::optional<std::string> text = programText(command.program);
    if (!text) {
        log_("\"" + payload.substr(0, 40) + "\" on " + topic +
             " is neither a program nor one in the programs folder; ignored");
        return;
    }
    if (const auto refused = share::playProgram(model_, *text, 1, false))
        log_("the program on " + topic + " was refused: " + *refused);
}

// A payload that names a file in the programs folder plays that file; anything else must be a
// program's own steps.
std::optional<std::string> BoardBridge::programText(const std::string& payload) const {
    if (isProgramName(payload) && !settings_.programsDir.empty()) {
        const QFileInfo file(QDir(QString::fromLocal8Bit(settings_.programsDir.c_str())),
                             QString::fromLocal8Bit(payload.c_str()));
        if (file.isFile()) {
            QFile program(file.filePath());
            if (program.size() <= 16 * 1024 * 1024 && program.open(QIODevice::ReadOnly))
                return program.readAll().toStdString();
        }
    }
    return holdsOnlySteps(payload) ? std::optional<std::string>(payload) : std::nullopt;
}

void BoardBridge::setAvailable(bool available) {
    if (available_.exchange(available) != available)
        publish(prefix_ + "/availability", available ? "online" : "offline");
}

void BoardBridge::forget() {
    publishDiscovery(true);
}

void BoardBridge::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (client_)
        mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain);
}

// Only what changed, unless everything is asked for (after a connection).
void BoardBridge::publishState(bool everything) {
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    const std::lock_guard lock(publishLock_);
    const std::uint8_t relays = shown->relayByte;
    if (everything || relaysShown_ != relays) {
        for (const board::RelayMapEntry& entry : board::kRelayMap) {
            const bool on = relays & entry.mask;
            if (everything || !relaysShown_ || bool(*relaysShown_ & entry.mask) != on)
                publish(prefix_ + "/relay/" + std::to_string(entry.relay), on ? "ON" : "OFF");
        }
        publish(prefix_ + "/state", steps::patternOfByte(relays));
        relaysShown_ = relays;
    }
    const std::string program =
        json({{QStringLiteral("state"), QLatin1String(share::runName(shown->run))},
              {QStringLiteral("row"), shown->currentRow + 1},
              {QStringLiteral("rows"), shown->rowCount()}});
    if (everything || program != programShown_) {
        publish(prefix_ + "/program", program);
        programShown_ = program;
    }
}

void BoardBridge::watch() {
    std::uint64_t seen = 0;
    std::chrono::steady_clock::time_point published{};
    while (!quit_) {
        std::this_thread::sleep_for(kWatchInterval);
        const std::uint64_t version = model_.snapshot()->version;
        const auto now = std::chrono::steady_clock::now();
        if (version != seen && now - published >= kPublishGap) {
            seen = version;
            published = now;
            publishState(false);
        }
    }
}

// One switch per relay and one button per program in the programs folder, all of one device;
// removing publishes empty configurations, which takes them out of Home Assistant.
void BoardBridge::publishDiscovery(bool remove) {
    if (!settings_.discovery)
        return;
    const std::string node = "tambrook_" + topicLevel(id_);
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QString::fromStdString(node)}},
        {QStringLiteral("name"), QString::fromStdString("Relay board " + id_)},
        {QStringLiteral("manufacturer"), QStringLiteral("Tambrook")},
        {QStringLiteral("model"), QStringLiteral("Eight-relay USB board")}};
    const QString availability = QString::fromStdString(prefix_ + "/availability");
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    const labels::LabelTable defaults = labels::defaultLabels();
    for (const board::RelayMapEntry& entry : board::kRelayMap) {
        const std::string topic = std::string(kDiscoveryPrefix) + "/switch/" + node + "/relay" +
                                  std::to_string(entry.relay) + "/config";
        if (remove) {
            publish(topic, "");
            continue;
        }
        std::string name = "Relay " + std::to_string(entry.relay);
        const std::string on = shown->onLabel(entry.relay);
        const std::string off = shown->offLabel(entry.relay);
        if (on != defaults.at(static_cast<std::size_t>(entry.onSlot)) ||
            off != defaults.at(static_cast<std::size_t>(entry.offSlot)))
            name += " (" + on + " / " + off + ")";
        const std::string base = prefix_ + "/relay/" + std::to_string(entry.relay);
        publish(topic,
                json({{QStringLiteral("name"), QString::fromLatin1(name.c_str())},
                      {QStringLiteral("unique_id"),
                       QString::fromStdString(node + "_relay" + std::to_string(entry.relay))},
                      {QStringLiteral("command_topic"), QString::fromStdString(base + "/set")},
                      {QStringLiteral("state_topic"), QString::fromStdString(base)},
                      {QStringLiteral("payload_on"), QStringLiteral("ON")},
                      {QStringLiteral("payload_off"), QStringLiteral("OFF")},
                      {QStringLiteral("state_on"), QStringLiteral("ON")},
                      {QStringLiteral("state_off"), QStringLiteral("OFF")},
                      {QStringLiteral("availability_topic"), availability},
                      {QStringLiteral("payload_available"), QStringLiteral("online")},
                      {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
                      {QStringLiteral("device"), device}}));
    }
    if (settings_.programsDir.empty())
        return;
    const QDir programs(QString::fromLocal8Bit(settings_.programsDir.c_str()));
    for (const QFileInfo& file : programs.entryInfoList(QDir::Files, QDir::Name)) {
        const std::string name = file.fileName().toStdString();
        const std::string topic = std::string(kDiscoveryPrefix) + "/button/" + node + "/program_" +
                                  topicLevel(name) + "/config";
        if (remove) {
            publish(topic, "");
            continue;
        }
        publish(topic,
                json({{QStringLiteral("name"), QStringLiteral("Play %1").arg(file.fileName())},
                      {QStringLiteral("unique_id"),
                       QString::fromStdString(node + "_program_" + topicLevel(name))},
                      {QStringLiteral("command_topic"),
                       QString::fromStdString(prefix_ + "/program/play")},
                      {QStringLiteral("payload_press"), file.fileName()},
                      {QStringLiteral("availability_topic"), availability},
                      {QStringLiteral("device"), device}}));
    }
}

} // namespace mqtt
