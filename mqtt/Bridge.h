#pragma once

#include "model/Model.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

struct mosquitto;
struct mosquitto_message;

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
    std::string hostName;    // for the client id
};

// mqtt://[user@]host[:port] or mqtts://[user@]host[:port]; why not, when it is not one.
std::variant<BrokerSettings, std::string> parseBrokerUrl(const std::string& url);

// A board id as one topic level: "/", "+", "#" and control characters become "_".
std::string topicLevel(const std::string& id);

// How the bridge tells of what it does (one line per event).
using Log = std::function<void(const std::string&)>;

// One board on the broker, through a client of its own: its relays, state and program as
// retained topics, published when they change; commands on .../set topics, run on the model;
// availability as the client's last will. The network is handled on the client library's thread
// and the state is watched on another, so a tick never waits for the broker.
class BoardBridge {
public:
    static constexpr std::size_t kMaxPayloadBytes = 64 * 1024;

    BoardBridge(model::Model& model, std::string boardId, BrokerSettings settings, Log log);
    ~BoardBridge();
    BoardBridge(const BoardBridge&) = delete;
    BoardBridge& operator=(const BoardBridge&) = delete;

    // Offline while the board is unplugged.
    void setAvailable(bool available);
    // The board is gone for good: its Home Assistant entities are removed.
    void forget();
    const std::string& prefix() const { return prefix_; }

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onMessage(mosquitto* client, void* self, const mosquitto_message* message);
    void connected();
    void command(const std::string& topic, const std::string& payload);
    void watch();
    void publish(const std::string& topic, const std::string& payload, bool retain = true);
    void publishState(bool everything);
    void publishDiscovery(bool remove);
    std::optional<std::string> programText(const std::string& payload) const;

    model::Model& model_;
    const std::string id_;
    const BrokerSettings settings_;
    const std::string prefix_;
    Log log_;
    mosquitto* client_ = nullptr;
    std::mutex publishLock_; // what was published last, and the client's publishes
    std::optional<std::uint8_t> relaysShown_;
    std::string programShown_;
    std::atomic<bool> available_{true};
    std::mutex deliveredLock_;
    std::condition_variable delivered_;
    int lastDelivered_ = 0; // the message id the broker took last
    std::atomic<bool> quit_{false};
    std::thread watcher_;
};

} // namespace mqtt
