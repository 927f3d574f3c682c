#include "mqtt/Bridge.h"
#include "mqtt/Commands.h"

#include "devices/RelayMap.h"
#include "model/StepText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mqtt {

namespace {

constexpr int kKeepAliveSeconds = 30;
// At most this often is the state published: a program stepping every millisecond would
// otherwise send thousands of messages a second, whose network work competes with its steps and
// which nobody can follow. A change after a quiet spell goes out at once.
constexpr auto kPublishGap = std::chrono::milliseconds(50);
// Retries after a failed connection wait 1 s, then twice as long each time, up to 30 s.
constexpr auto kFirstRetry = std::chrono::seconds(1);
constexpr auto kLastRetry = std::chrono::seconds(30);
// How long the network loop waits when nothing happens: the keep-alive is looked after at least
// this often.
constexpr int kLoopMilliseconds = 1000;
constexpr auto kOfflineGrace = std::chrono::milliseconds(500);
constexpr char kDiscoveryPrefix[] = "homeassistant";
constexpr char kHolderProperty[] = "holder";

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

// libmosquitto is set up once for the process and stays; its result, the first time.
int initialiseLibrary() {
    static const int result = mosquitto_lib_init();
    return result;
}

std::string json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::string refusal(const std::string& what, int result) {
    return what + " was refused: " + mosquitto_strerror(result);
}

// A few random hex digits, so that two processes' clients never share an id.
std::string randomPart() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::random_device device;
    std::string part;
    for (int i = 0; i < 6; ++i)
        part += kHex[device() % 16];
    return part;
}

// The CA file is read by OpenSSL only when connecting; one that names no certificate would only
// fail then, again at every retry.
std::optional<std::string> caFileProblem(const std::string& path) {
    QFile file(QString::fromLocal8Bit(path.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        return "cannot read the CA file " + path + " (--mqtt-ca)";
    if (!file.read(4 * 1024 * 1024).contains("CERTIFICATE-----"))
        return "the CA file " + path + " (--mqtt-ca) holds no PEM certificate";
    return std::nullopt;
}

using Client = std::unique_ptr<mosquitto, void (*)(mosquitto*)>;

// A client with every setting applied, speaking MQTT 5, or the first setting refused. A client
// of this kind never connects without the TLS that was asked for.
std::variant<Client, std::string> makeClient(const BrokerSettings& settings,
                                             const std::string& clientId,
                                             const std::string& willTopic, void* owner) {
    if (const int result = initialiseLibrary(); result != MOSQ_ERR_SUCCESS)
        return refusal("setting up libmosquitto", result);
    errno = 0;
    Client client(mosquitto_new(clientId.c_str(), true, owner), &mosquitto_destroy);
    if (!client)
        return "cannot make an MQTT client " + clientId + ": " +
               (errno ? std::strerror(errno) : "unknown failure");
    mosquitto* const c = client.get();
    if (const int result = mosquitto_int_option(c, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5))
        return refusal("MQTT 5", result);
    // Commands and state are a few bytes each: sent at once, not held back to be coalesced.
    if (const int result = mosquitto_int_option(c, MOSQ_OPT_TCP_NODELAY, 1))
        return refusal("TCP_NODELAY", result);
    // The bridge runs the network loop on a thread of its own: publishes from other threads
    // leave the writing to it (and wake it).
    if (const int result = mosquitto_threaded_set(c, true))
        return refusal("the threaded mode", result);
    if (!settings.user.empty())
        if (const int result = mosquitto_username_pw_set(
                c, settings.user.c_str(),
                settings.password.empty() ? nullptr : settings.password.c_str()))
            return refusal("the broker's user name or password", result);
    if (const int result = mosquitto_will_set(c, willTopic.c_str(), 7, "offline", 1, true))
        return refusal("the last will on " + willTopic, result);
    if (settings.tls) {
        if (!settings.caFile.empty())
            if (const std::optional<std::string> problem = caFileProblem(settings.caFile))
                return *problem;
        // Without a CA file, the system's store as OpenSSL finds it (SSL_CERT_FILE and
        // SSL_CERT_DIR override it, as for every OpenSSL program).
        const int result =
            settings.caFile.empty()
                ? mosquitto_int_option(c, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                : mosquitto_tls_set(c, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (result != MOSQ_ERR_SUCCESS)
            return refusal(settings.caFile.empty() ? "TLS with the system's CA store"
                                                   : "TLS with the CA file " + settings.caFile,
                           result);
        // The TLS context made at the first connection is kept for the next ones as it is:
        // libmosquitto 2.0.11 otherwise refuses every reconnection that trusts the system's
        // store (fixed in 2.0.12).
        if (const int kept = mosquitto_int_option(c, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0))
            return refusal("keeping the TLS context", kept);
    }
    return client;
}

// The value of a user property of that name, or "".
std::string userProperty(const mosquitto_property* properties, const char* name) {
    std::string found;
    for (const mosquitto_property* p = properties; p; p = mosquitto_property_next(p)) {
        if (mosquitto_property_identifier(p) != MQTT_PROP_USER_PROPERTY)
            continue;
        char* key = nullptr;
        char* value = nullptr;
        if (mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &key, &value, false) !=
            nullptr) {
            if (key && value && std::strcmp(key, name) == 0)
                found = value;
            std::free(key);
            std::free(value);
        }
    }
    return found;
}

// Home Assistant's model of the device: "Four-relay USB board".
const char* boardModel(int relayCount) {
    static constexpr const char* kModels[] = {"One-relay USB board",   "Two-relay USB board",
                                              "Three-relay USB board", "Four-relay USB board",
                                              "Five-relay USB board",  "Six-relay USB board",
                                              "Seven-relay USB board", "Eight-relay USB board"};
    return kModels[std::clamp(relayCount, 1, 8) - 1];
}

// A relay's entity: its name from boards.conf, or "Relay 3" with its labels when they are not
// the defaults (labels are Latin-1, as labels.dat holds them; names are UTF-8).
QString entityName(const devices::RelayMapEntry& entry, const model::Snapshot& shown,
                   const labels::LabelTable& defaults, const devices::BoardOptions& options) {
    if (const std::string& named = options.relay(entry.relay).name; !named.empty())
        return QString::fromStdString(named);
    std::string name = "Relay " + std::to_string(entry.relay);
    const std::string on = shown.onLabel(entry.relay);
    const std::string off = shown.offLabel(entry.relay);
    if (on != defaults.at(static_cast<std::size_t>(entry.onSlot)) ||
        off != defaults.at(static_cast<std::size_t>(entry.offSlot)))
        name += " (" + on + " / " + off + ")";
    return QString::fromLatin1(name.c_str());
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

std::optional<std::string> settingsProblem(const BrokerSettings& settings) {
    const std::variant<Client, std::string> made = makeClient(
        settings, "tambrook-check-" + randomPart(), settings.topicBase + "/check", nullptr);
    if (const auto* why = std::get_if<std::string>(&made))
        return *why;
    return std::nullopt;
}

// What cannot stand in a topic level ("/", "+", "#", control characters), the "@" that joins an
// id to its host and the "%" of the escapes themselves are written %XX: every id has a level of
// its own ("A/B" and "A_B" shared one), and a serial "X@lab" is never taken for board X of host
// lab.
std::string topicLevel(const std::string& id) {
    std::string level;
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '+' || c == '#' || c == '%' || c == '@' || byte < 0x20 ||
            byte == 0x7f) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
            level += escaped;
        } else {
            level += c;
        }
    }
    return level.empty() ? std::string("%") : level;
}

std::string boardLevel(const devices::BoardId& board, const std::string& hostName) {
    return devices::uniqueOnlyOnThisHost(board.source)
               ? topicLevel(board.id) + '@' + topicLevel(hostName)
               : topicLevel(board.id);
}

std::string discoveryId(std::string_view name) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || byte == '-') {
            id += c;
        } else if (byte == '_') {
            id += "__";
        } else {
            id += '_';
            id += kHex[byte >> 4];
            id += kHex[byte & 0xf];
        }
    }
    return id;
}

std::variant<std::unique_ptr<BoardBridge>, std::string>
BoardBridge::make(service::Executor& executor, const devices::BoardId& board,
                  BrokerSettings settings, Log log) {
    const std::string clientId = "tambrook-" + topicLevel(settings.hostName) + '-' +
                                 std::to_string(::getpid()) + '-' + randomPart() + '-' +
                                 topicLevel(board.id);
    auto bridge = std::make_unique<BoardBridge>(Key{}, executor, board, std::move(settings),
                                                std::move(log), clientId);
    if (bridge->wakeFd_ < 0)
        return bridge->id_ + ": no descriptor to wake its MQTT client";
    std::variant<Client, std::string> client =
        makeClient(bridge->settings_, clientId, bridge->prefix_ + "/availability", bridge.get());
    if (auto* why = std::get_if<std::string>(&client))
        return bridge->id_ + ": " + *why;
    bridge->client_ = std::move(std::get<Client>(client));
    bridge->setCallbacks();
    try {
        bridge->network_ = std::thread([raw = bridge.get()] { raw->runNetwork(); });
    } catch (const std::system_error& failure) {
        return bridge->id_ + ": no thread for its MQTT client: " + failure.what();
    }
    return bridge;
}

BoardBridge::BoardBridge(Key, service::Executor& executor, const devices::BoardId& board,
                         BrokerSettings settings, Log log, std::string clientId)
    : executor_(executor)
    , model_(executor.model())
    , changes_(model_.changes().subscribe())
    , programs_(settings.programsDir)
    , id_(board.id)
    , hostQualified_(devices::uniqueOnlyOnThisHost(board.source))
    , settings_(std::move(settings))
    , level_(boardLevel(board, settings_.hostName))
    , prefix_(settings_.topicBase + '/' + level_)
    , clientId_(std::move(clientId))
    , log_(std::move(log))
    , client_(nullptr, &mosquitto_destroy)
    , wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

// The callbacks run on the network thread, inside the client library's loop.
void BoardBridge::setCallbacks() {
    mosquitto* const c = client_.get();
    mosquitto_connect_v5_callback_set(
        c, [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
            static_cast<BoardBridge*>(self)->onConnect(reason);
        });
    mosquitto_message_v5_callback_set(c, [](mosquitto* client, void* self,
                                            const mosquitto_message* message,
                                            const mosquitto_property* properties) {
        acknowledgeAtOnce(client);
        static_cast<BoardBridge*>(self)->onMessage(*message, properties);
    });
    mosquitto_publish_callback_set(c, [](mosquitto* client, void* self, int mid) {
        acknowledgeAtOnce(client);
        auto* bridge = static_cast<BoardBridge*>(self);
        const std::lock_guard lock(bridge->deliveredLock_);
        bridge->lastDelivered_ = mid;
        bridge->delivered_.notify_all();
    });
    mosquitto_subscribe_v5_callback_set(
        c, [](mosquitto*, void* self, int mid, int, const int*, const mosquitto_property*) {
            static_cast<BoardBridge*>(self)->onSubscribed(mid);
        });
    // The library's own error lines (OpenSSL's reasons among them) explain a failed connection.
    mosquitto_log_callback_set(c, [](mosquitto*, void* self, int level, const char* line) {
        if (level != MOSQ_LOG_ERR || !line)
            return;
        auto* bridge = static_cast<BoardBridge*>(self);
        const std::lock_guard lock(bridge->reportedLock_);
        bridge->libraryError_ = line;
    });
}

// A clean disconnection sends no last will, so "offline" goes first; bridges stopped together
// wait for their deliveries at once.
BoardBridge::~BoardBridge() {
    stop();
    if (offlineMessage_ >= 0) {
        std::unique_lock lock(deliveredLock_);
        delivered_.wait_until(lock, stopDeadline_,
                              [&] { return lastDelivered_ == offlineMessage_; });
    }
    {
        const std::lock_guard lock(networkLock_);
        leaving_ = true;
    }
    networkWake_.notify_all();
    // Connected, the loop is woken by the descriptor; not connected, it waits on networkWake_,
    // which leaving_ ends.
    if (client_) {
        [[maybe_unused]] const int disconnected = mosquitto_disconnect(client_.get());
    }
    wakeNetwork();
    if (network_.joinable())
        network_.join();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void BoardBridge::stop() {
    if (stopping_.exchange(true))
        return;
    quit_ = true;
    stopDeadline_ = std::chrono::steady_clock::now() + kOfflineGrace;
    if (!client_ || phase_ != Phase::Holding)
        return;
    const std::string topic = prefix_ + "/availability";
    const std::lock_guard lock(publishLock_);
    int mid = -1;
    const int result = mosquitto_publish(client_.get(), &mid, topic.c_str(), 7, "offline", 1, true);
    if (result == MOSQ_ERR_SUCCESS)
        offlineMessage_ = mid;
    else if (result != MOSQ_ERR_NO_CONN)
        reportOnce("could not publish", topic, result);
    wakeNetwork();
}

void BoardBridge::wakeNetwork() {
    if (wakeFd_ < 0 || std::this_thread::get_id() == networkThread_.load())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

// The first connection carries MQTT 5's maximum packet size, which the client library then sends
// again at every reconnection; it is made here (the library only makes it blocking), off the
// threads that serve the board. Every failure is retried: 1 s later, then twice as long each time,
// up to 30 s; a problem is logged when it is not the one logged last.
void BoardBridge::runNetwork() {
    networkThread_ = std::this_thread::get_id();
    mosquitto* const c = client_.get();
    mosquitto_property* properties = nullptr;
    int result =
        mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxPacketBytes);
    if (result == MOSQ_ERR_SUCCESS)
        result = mosquitto_connect_bind_v5(c, settings_.host.c_str(), settings_.port,
                                           kKeepAliveSeconds, nullptr, properties);
    int error = errno;
    mosquitto_property_free_all(&properties);
    for (;;) {
        // A bridge that stood down loops on until its disconnection is out.
        while (result == MOSQ_ERR_SUCCESS) {
            {
                const std::lock_guard lock(networkLock_);
                if (leaving_)
                    return;
            }
            result = serviceConnection(c);
            error = errno;
        }
        if (phase_ == Phase::StoodDown)
            return;
        if (phase_ != Phase::Connecting)
            phase_ = Phase::Connecting;
        if (!refused_)
            noteProblem(failureText(result, error));
        std::unique_lock lock(networkLock_);
        if (networkWake_.wait_for(lock, retryDelay_, [&] { return leaving_; }))
            return;
        lock.unlock();
        retryDelay_ = std::min<std::chrono::seconds>(retryDelay_ * 2, kLastRetry);
        refused_ = false;
        {
            const std::lock_guard errorLock(reportedLock_);
            libraryError_.clear();
        }
        result = mosquitto_reconnect_async(c);
        error = errno;
    }
}

std::string BoardBridge::failureText(int result, int error) {
    const std::string broker = settings_.host + ':' + std::to_string(settings_.port);
    std::string why;
    if (result == MOSQ_ERR_ERRNO)
        why = std::strerror(error);
    else if (result == MOSQ_ERR_EAI)
        why = gai_strerror(error);
    else
        why = mosquitto_strerror(result);
    if (result == MOSQ_ERR_TLS) {
        const std::lock_guard lock(reportedLock_);
        if (!libraryError_.empty())
            why += " (" + libraryError_ + ")";
    }
    const bool lost = connectedSinceFailure_;
    connectedSinceFailure_ = false;
    return (lost ? "lost the broker at " : "cannot reach the broker at ") + broker + " for " +
           level_ + ": " + why;
}

void BoardBridge::noteProblem(const std::string& problem) {
    if (problem == problem_)
        return;
    problem_ = problem;
    log_(problem + "; trying again in " + std::to_string(retryDelay_.count()) +
         " s, then less often, waiting at most 30 s");
}

// Each call that fails is logged the first time it fails so; a broker that refuses every
// publish would otherwise fill the log.
void BoardBridge::reportOnce(const std::string& what, const std::string& where, int result) {
    {
        const std::lock_guard lock(reportedLock_);
        if (!reported_.insert(what + '\n' + std::to_string(result)).second)
            return;
    }
    log_(id_ + ": " + what + " " + where + ": " + mosquitto_strerror(result) +
         " (later failures of this kind are not logged)");
}

// A connection first asks who holds the board's topics: the retained availability tells, and the
// probe, sent after subscribing, comes back after it.
void BoardBridge::onConnect(int reason) {
    if (reason != 0) {
        refused_ = true;
        noteProblem("the broker at " + settings_.host + ':' + std::to_string(settings_.port) +
                    " refused " + level_ + ": " + mosquitto_reason_string(reason));
        return;
    }
    problem_.clear();
    connectedSinceFailure_ = true;
    retryDelay_ = kFirstRetry;
    holderSeen_.clear();
    phase_ = Phase::Probing;
    probe_ = clientId_ + ' ' + std::to_string(++connections_);
    for (const std::string& topic : {prefix_ + "/availability", prefix_ + "/probe"})
        if (const int result = mosquitto_subscribe(client_.get(), nullptr, topic.c_str(), 1))
            reportOnce("could not subscribe to", topic, result);
    publish(prefix_ + "/probe", probe_, false);
}

void BoardBridge::onMessage(const mosquitto_message& message,
                            const mosquitto_property* properties) {
    const std::string topic = message.topic ? message.topic : "";
    if (static_cast<std::size_t>(message.payloadlen) > kMaxPayloadBytes) {
        log_("a payload over 64 KiB on " + printable(topic, 200) + " was dropped");
        return;
    }
    const std::string payload(static_cast<const char*>(message.payload),
                              static_cast<std::size_t>(message.payloadlen));
    if (topic == prefix_ + "/availability") {
        onAvailability(userProperty(properties, kHolderProperty));
        return;
    }
    if (topic == prefix_ + "/probe") {
        if (payload == probe_ && phase_ == Phase::Probing)
            decideHolder();
        return;
    }
    if (phase_ != Phase::Holding)
        return;
    if (topic == std::string(kDiscoveryPrefix) + "/status") {
        if (payload == "online")
            publishDiscovery(false);
        return;
    }
    // A retained command would fire again at every reconnection.
    if (message.retain) {
        log_("a retained command on " + printable(topic, 200) + " was ignored");
        return;
    }
    command(topic, payload);
}

// Availability messages name their holder; the last will and a holder's leaving name none.
// Claims cross when two bridges start at once: the broker passes them to both in one order, and
// the bridge whose claim came second gives way.
void BoardBridge::onAvailability(const std::string& holder) {
    holderSeen_ = holder;
    switch (phase_.load()) {
    case Phase::Claiming:
        if (holder == clientId_) {
            phase_ = Phase::Holding;
            connected();
        } else if (!holder.empty()) {
            standDown(holder);
        }
        return;
    case Phase::Holding:
        // Another bridge's claim, or a last will, over this one's: this one's holds.
        if (!stopping_ && holder != clientId_ && (holder.empty() || told_.insert(holder).second))
            publishAvailability();
        return;
    default:
        return;
    }
}

void BoardBridge::decideHolder() {
    if (!holderSeen_.empty() && holderSeen_ != clientId_) {
        standDown(holderSeen_);
        return;
    }
    phase_ = Phase::Claiming;
    publishAvailability();
}

void BoardBridge::standDown(const std::string& holder) {
    phase_ = Phase::StoodDown;
    log_(id_ + " is bridged to the broker at " + settings_.host + ':' +
         std::to_string(settings_.port) + " by another serve (its client " +
         printable(holder, 200) + "); this one does not bridge it, and serves it only on its " +
         "socket");
    if (const int result = mosquitto_disconnect(client_.get());
        result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN)
        reportOnce("could not leave", "the broker", result);
}

// Holding the topics: the subscriptions, then everything retained again.
void BoardBridge::connected() {
    commandsSubscription_ = 0;
    for (const std::string& topic :
         {prefix_ + "/relay/+/set", prefix_ + "/state/set", prefix_ + "/program/play",
          prefix_ + "/program/stop", std::string(kDiscoveryPrefix) + "/status"})
        if (const int result =
                mosquitto_subscribe(client_.get(), &commandsSubscription_, topic.c_str(), 1))
            reportOnce("could not subscribe to", topic, result);
    publishDiscovery(false);
    publishState(true);
}

// The broker acknowledges subscriptions in the order they were made, so once the last is
// acknowledged every command topic is taken: only then does the log say the board is connected.
void BoardBridge::onSubscribed(int mid) {
    if (phase_ != Phase::Holding || mid != commandsSubscription_)
        return;
    log_("connected " + id_ + " to the broker at " + settings_.host + ':' +
         std::to_string(settings_.port) + ", topics under " + prefix_);
}

void BoardBridge::command(const std::string& topic, const std::string& payload) {
    const std::string under = prefix_ + "/";
    const std::string shownTopic = printable(topic, 200);
    const auto parsed = parseCommand(
        topic.rfind(under, 0) == 0 ? std::string_view(topic).substr(under.size()) : "", payload);
    if (const auto* why = std::get_if<std::string>(&parsed)) {
        log_(*why + " on " + shownTopic + "; ignored");
        return;
    }
    const Command& command = std::get<Command>(parsed);
    service::Command asked;
    switch (command.kind) {
    case Command::Kind::Switch:
        asked.kind = command.how;
        asked.relays = {command.relay};
        break;
    case Command::Kind::SetAll:
        asked.kind = service::Command::Kind::Set;
        asked.pattern = command.pattern;
        break;
    case Command::Kind::Stop:
        asked.kind = service::Command::Kind::Stop;
        break;
    case Command::Kind::Play: {
        std::optional<std::string> text = programText(command.program);
        if (!text) {
            log_("\"" + printable(payload) + "\" on " + shownTopic +
                 " is neither a program nor one in the programs folder; ignored");
            return;
        }
        asked.kind = service::Command::Kind::Play;
        asked.program = std::move(*text);
        asked.resolution = 1; // as documented: a program from the broker plays at 1 ms a tick,
        asked.repeat = false; // once through
        break;
    }
    }
    say(executor_.execute(asked), shownTopic);
}

void BoardBridge::say(const service::Reply& reply, const std::string& topic) {
    if (!reply.ok)
        log_(id_ + ": " + reply.error + " (" + topic + ")");
}

// A payload that names a file in the programs folder plays that file; anything else must be a
// program's own steps.
std::optional<std::string> BoardBridge::programText(const std::string& payload) const {
    if (std::optional<std::string> named = programs_.read(payload))
        return named;
    return holdsOnlySteps(payload) ? std::optional<std::string>(payload) : std::nullopt;
}

void BoardBridge::setAvailable(bool available) {
    if (available_.exchange(available) != available && phase_ == Phase::Holding)
        publishAvailability();
}

void BoardBridge::stopping(bool gone) {
    if (gone)
        forget();
    stop();
}

void BoardBridge::forget() {
    if (phase_ == Phase::Holding)
        publishDiscovery(true);
}

// A failure is logged once; one for want of a connection is not, since the connection's own
// problem is, and everything is published again on connecting.
int BoardBridge::publish(const std::string& topic, const std::string& payload, bool retain) {
    const int result =
        mosquitto_publish(client_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain);
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN)
        reportOnce("could not publish", topic, result);
    wakeNetwork();
    return result;
}

// The availability, naming this bridge's client as the holder of the board's topics.
void BoardBridge::publishAvailability() {
    const std::string topic = prefix_ + "/availability";
    const char* const payload = available_ ? "online" : "offline";
    mosquitto_property* properties = nullptr;
    int result = mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY,
                                                    kHolderProperty, clientId_.c_str());
    if (result == MOSQ_ERR_SUCCESS)
        result = mosquitto_publish_v5(client_.get(), nullptr, topic.c_str(),
                                      static_cast<int>(std::strlen(payload)), payload, 1, true,
                                      properties);
    mosquitto_property_free_all(&properties);
    if (result != MOSQ_ERR_SUCCESS && result != MOSQ_ERR_NO_CONN)
        reportOnce("could not publish", topic, result);
    wakeNetwork();
}

// Only what changed, unless everything is asked for (after a connection). Relays the board does
// not have are never told, and a relay whose state is unknown (a board that cannot read back) is
// told only once it has been set; the whole pattern only when every relay is known.
void BoardBridge::publishState(bool everything) {
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    const std::lock_guard lock(publishLock_);
    const std::uint8_t relays = shown->relayByte;
    const std::uint8_t known = shown->knownRelays;
    if (everything || relaysShown_ != relays || knownShown_ != known) {
        for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
            if (!shown->relayPresent(entry.relay) || !(known & entry.mask))
                continue;
            const bool on = relays & entry.mask;
            const bool told = relaysShown_ && (knownShown_ & entry.mask);
            if (everything || !told || bool(*relaysShown_ & entry.mask) != on)
                publish(prefix_ + "/relay/" + std::to_string(entry.relay), on ? "ON" : "OFF");
        }
        if (shown->allRelaysKnown())
            publish(prefix_ + "/state", steps::patternOfByte(relays));
        relaysShown_ = relays;
        knownShown_ = known;
    }
    const std::string program =
        json({{QStringLiteral("state"), QLatin1String(service::runName(shown->run))},
              {QStringLiteral("row"), shown->currentRow + 1},
              {QStringLiteral("rows"), shown->rowCount()}});
    if (everything || program != programShown_) {
        publish(prefix_ + "/program", program);
        programShown_ = program;
    }
}

// One round of the connection, as the client library's own loop makes it, with two more things
// to wait for: the model's change feed, so that a change is published and written out on this
// thread without waking another first, and the descriptor other threads wake it with after they
// publish. A change after a quiet spell goes out at once, then at most every kPublishGap.
int BoardBridge::serviceConnection(mosquitto* c) {
    const int socket = mosquitto_socket(c);
    if (socket < 0)
        return MOSQ_ERR_NO_CONN;
    const bool holding = phase_ == Phase::Holding && !quit_;
    if (!holding)
        changeWaiting_ = false; // a connection publishes everything anew
    int timeout = kLoopMilliseconds;
    if (changeWaiting_)
        timeout = static_cast<int>(std::clamp<std::int64_t>(
            std::chrono::ceil<std::chrono::milliseconds>(lastPublished_ + kPublishGap -
                                                         std::chrono::steady_clock::now())
                .count(),
            0, kLoopMilliseconds));
    const short interest = static_cast<short>(POLLIN | (mosquitto_want_write(c) ? POLLOUT : 0));
    pollfd fds[3] = {{socket, interest, 0},
                     {wakeFd_, POLLIN, 0},
                     {holding && !changeWaiting_ ? changes_->fd() : -1, POLLIN, 0}};
    if (::poll(fds, 3, timeout) < 0)
        return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
    if (fds[1].revents & POLLIN) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = ::read(wakeFd_, &count, sizeof count);
    }
    // Reading first also carries on a TLS handshake that waits to write, as the library's loop
    // does when the socket is writable.
    if (fds[0].revents) {
        if (const int result = mosquitto_loop_read(c, 1);
            result != MOSQ_ERR_SUCCESS || mosquitto_socket(c) < 0)
            return result;
    }
    if (fds[2].revents & POLLIN)
        changeWaiting_ = changes_->changed() || changeWaiting_;
    if (changeWaiting_ && phase_ == Phase::Holding && !quit_ &&
        std::chrono::steady_clock::now() - lastPublished_ >= kPublishGap) {
        changeWaiting_ = false;
        lastPublished_ = std::chrono::steady_clock::now();
        publishState(false);
    }
    if (const int result = mosquitto_loop_write(c, 1);
        result != MOSQ_ERR_SUCCESS || mosquitto_socket(c) < 0)
        return result;
    return mosquitto_loop_misc(c);
}

// One switch per relay and one button per program in the programs folder, all of one device;
// removing publishes empty configurations, which takes them out of Home Assistant. Home Assistant
// reads node and object ids of [a-zA-Z0-9_-] only, hence discoveryId.
void BoardBridge::publishDiscovery(bool remove) {
    if (!settings_.discovery)
        return;
    const std::string node =
        "tambrook_" + discoveryId(hostQualified_ ? id_ + '@' + settings_.hostName : id_);
    const std::string deviceName =
        "Relay board " + id_ + (hostQualified_ ? " on " + settings_.hostName : std::string());
    const std::shared_ptr<const model::Snapshot> shown = model_.snapshot();
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{QString::fromStdString(node)}},
        {QStringLiteral("name"), QString::fromStdString(deviceName)},
        {QStringLiteral("manufacturer"), QStringLiteral("Tambrook")},
        {QStringLiteral("model"), QString::fromLatin1(boardModel(shown->relayCount))}};
    const QString availability = QString::fromStdString(prefix_ + "/availability");
    const labels::LabelTable defaults = labels::defaultLabels();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const std::string object = "relay" + std::to_string(entry.relay);
        const std::string topic =
            std::string(kDiscoveryPrefix) + "/switch/" + node + '/' + object + "/config";
        // A relay the board does not have is taken out, in case a board of this id had it.
        if (remove || !shown->relayPresent(entry.relay)) {
            publish(topic, "");
            continue;
        }
        const QString name = entityName(entry, *shown, defaults, executor_.options());
        const std::string base = prefix_ + "/relay/" + std::to_string(entry.relay);
        publish(topic,
                json({{QStringLiteral("name"), name},
                      {QStringLiteral("unique_id"), QString::fromStdString(node + '_' + object)},
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
        const std::string object = "program_" + discoveryId(file.fileName().toStdString());
        const std::string topic =
            std::string(kDiscoveryPrefix) + "/button/" + node + '/' + object + "/config";
        if (remove) {
            publish(topic, "");
            continue;
        }
        publish(topic,
                json({{QStringLiteral("name"), QStringLiteral("Play %1").arg(file.fileName())},
                      {QStringLiteral("unique_id"), QString::fromStdString(node + '_' + object)},
                      {QStringLiteral("command_topic"),
                       QString::fromStdString(prefix_ + "/program/play")},
                      {QStringLiteral("payload_press"), file.fileName()},
                      {QStringLiteral("availability_topic"), availability},
                      {QStringLiteral("device"), device}}));
    }
}

} // namespace mqtt
