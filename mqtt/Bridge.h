#pragma once

#include "devices/Identity.h"
#include "model/ChangeFeed.h"
#include "model/Model.h"
#include "service/BoardHost.h"
#include "service/Executor.h"
#include "service/Programs.h"

#include <QJsonObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

// Home automation: a held board on an MQTT broker, with Home Assistant discovery.
namespace mqtt {

struct BrokerSettings {
    std::string host;
    int port = 1883;
    bool tls = false;
    std::string caFile;   // with tls: this CA, else the system's store
    std::string user;     // from the URL
    std::string password; // from a file or the environment, never from the command line
    std::string topicBase = "tambrook";
    bool discovery = true;
    std::string programsDir; // program/play may name a file here
    // This host's name (or --mqtt-node): in client ids, and in the topics of boards whose ids
    // name them only on this host.
    std::string hostName;
};

// mqtt://[user@]host[:port] or mqtts://[user@]host[:port]; why not, when it is not one.
std::variant<BrokerSettings, std::string> parseBrokerUrl(const std::string& url);

// Why a client cannot be made with these settings (a CA file that cannot be read, a user name the
// client library refuses, ...), or nothing. Checked before anything is served, so that a setting
// that cannot be applied stops serve at its start rather than being left out.
std::optional<std::string> settingsProblem(const BrokerSettings& settings);

// A board id as one topic level: "/", "+", "#" and control characters become "_".
std::string topicLevel(const std::string& id);

// A board's topic level on the broker: its id, and for an id that names it only on this host
// (a port path, a simulated board) the host's name after an "@", so that boards of two hosts
// never share topics.
std::string boardLevel(const devices::BoardId& board, const std::string& hostName);

// A name as Home Assistant takes it in a discovery topic's node and object ids and in unique ids,
// which it reads as [a-zA-Z0-9_-] only: letters, digits and "-" stay, "_" becomes "__" and every
// other byte "_" and two hex digits, so that two names never come out the same.
std::string discoveryId(std::string_view name);

// How the bridge tells of what it does (one line per event).
using Log = std::function<void(const std::string&)>;

// One board on the broker, through a client of its own: its relays, state and program as
// retained topics, published when they change; commands on .../set topics, run on the model;
// availability as the client's last will. The network is handled on a thread of the bridge's
// own, which connects, and connects again after a failure, waiting longer each time; the same
// thread follows the model's change feed and publishes what changed, and the feed never waits for
// it, so a tick never waits for the broker.
//
// One bridge at a time holds a board's topics on a broker: its availability messages carry its
// client id ("holder"), and a bridge that finds them held by another client's stands down. A
// holder's last will and its leaving publish "offline" without a holder, which frees them.
class BoardBridge final : public service::FrontEnd {
    // Only make() can name a Key: a bridge is never left half made.
    struct Key {
        explicit Key() = default;
    };

public:
    static constexpr std::size_t kMaxPayloadBytes = 64 * 1024;
    // The largest packet the broker may send us (MQTT 5's maximum packet size, asked for when
    // connecting): a larger message is dropped by the broker and never held here.
    static constexpr std::uint32_t kMaxPacketBytes = 256 * 1024;

    // The bridge, connecting in the background, or why it cannot be made.
    static std::variant<std::unique_ptr<BoardBridge>, std::string>
    make(service::Executor& executor, const devices::BoardId& board, BrokerSettings settings,
         Log log);
    BoardBridge(Key, service::Executor& executor, const devices::BoardId& board,
                BrokerSettings settings, Log log, std::string clientId);
    ~BoardBridge() override;
    BoardBridge(const BoardBridge&) = delete;
    BoardBridge& operator=(const BoardBridge&) = delete;

    // Offline while the board is unplugged.
    void setAvailable(bool available);
    // The board is gone for good: its Home Assistant entities are removed.
    void forget();
    // Starts leaving the broker ("offline" is sent); the destructor waits for it to be delivered,
    // at most half a second from here. Stopping every bridge first and destroying them after lets
    // them leave together.
    void stop();
    const std::string& prefix() const { return prefix_; }

    // As a held board's front end: offline while it is not there; when serving stops, a board
    // that is gone leaves Home Assistant, and every bridge starts leaving the broker at once.
    void presenceChanged(bool present) override { setAvailable(present); }
    void stopping(bool gone) override;

private:
    using Client = std::unique_ptr<mosquitto, void (*)(mosquitto*)>;
    enum class Phase { Connecting, Probing, Claiming, Holding, StoodDown };

    void setCallbacks();
    void runNetwork();
    void noteProblem(const std::string& problem);
    std::string failureText(int result, int error);
    void reportOnce(const std::string& what, const std::string& where, int result);
    void onConnect(int reason);
    void onMessage(const mosquitto_message& message, const mqtt5__property* properties);
    void onAvailability(const std::string& holder);
    void decideHolder();
    void standDown(const std::string& holder);
    void connected();
    void onSubscribed(int mid);
    void command(const std::string& topic, const std::string& payload);
    int serviceConnection(mosquitto* c);
    // Wakes the network loop after a publish from another thread.
    void wakeNetwork();
    int publish(const std::string& topic, const std::string& payload, bool retain = true);
    void publishAvailability();
    void publishState(bool everything);
    void publishDiscovery(bool remove);
    void publishPulseButtons(const std::string& node, const QJsonObject& device, bool remove);
    std::optional<std::string> programText(const std::string& payload) const;
    void say(const service::Reply& reply, const std::string& topic);

    service::Executor& executor_;
    model::Model& model_;
    const std::shared_ptr<model::ChangeFeed::Subscription> changes_;
    const service::ProgramFolder programs_;
    const std::string id_;
    const bool hostQualified_;
    const BrokerSettings settings_;
    const std::string level_;
    const std::string prefix_;
    const std::string clientId_;
    Log log_;
    Client client_;
    std::atomic<Phase> phase_{Phase::Connecting};

    // The network thread's own.
    std::string problem_;  // the connection problem logged last; cleared by a connection
    bool refused_ = false; // the broker refused the last connection: already logged
    bool connectedSinceFailure_ = false;
    unsigned connections_ = 0;
    std::chrono::seconds retryDelay_{1};
    std::string probe_;            // the probe message of this connection
    int commandsSubscription_ = 0; // the message id of the last command topic's subscription
    std::string holderSeen_;       // the holder named by the last availability message
    std::set<std::string> told_;   // the other holders this one answered by publishing its own

    std::mutex reportedLock_;
    std::set<std::string> reported_; // failures of calls, each logged once
    std::string libraryError_;       // the client library's last error line, under reportedLock_

    std::mutex publishLock_; // what was published last, and the client's publishes
    std::optional<std::uint8_t> relaysShown_;
    std::uint8_t knownShown_ = 0; // the relays whose state relaysShown_ told
    std::string programShown_;
    std::atomic<bool> available_{true};

    std::mutex deliveredLock_;
    std::condition_variable delivered_;
    int lastDelivered_ = 0; // the message id the broker took last
    int offlineMessage_ = -1;
    std::chrono::steady_clock::time_point stopDeadline_{};
    std::atomic<bool> stopping_{false};

    std::mutex networkLock_;
    std::condition_variable networkWake_;
    bool leaving_ = false; // under networkLock_

    std::atomic<bool> quit_{false};
    int wakeFd_ = -1; // wakes the network loop
    std::atomic<std::thread::id> networkThread_{};
    // The network thread's own: a change not published yet, and when the state went out last.
    bool changeWaiting_ = false;
    std::chrono::steady_clock::time_point lastPublished_{};
    std::thread network_;
};

} // namespace mqtt
