#pragma once

#include "devices/Config.h"

#include <chrono>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The command line of tambrook-cli, checked in full before any board is touched.
namespace cli {

inline constexpr int kMinResolution = 1;
inline constexpr int kMaxResolution = 100;

struct Command {
    enum class Kind { List, Get, Set, On, Off, Pulse, Play, Serve, SetSerial, Help, Version };
    Kind kind = Kind::Help;
    // The boards named: a number from 1 (as "Relay Board N" in the window), an id, a serial
    // number or a USB port path; serve may name several.
    std::vector<std::string> boards;
    // The boards named as FAMILY:DEVICE[,KEY=VALUE]..., configured for this run beside
    // boards.conf's; each is also in `boards`, by its id FAMILY:DEVICE.
    std::vector<devices::ConfiguredBoard> named;
    bool allBoards = false;  // serve --all
    std::string pattern;     // set: eight characters 0/1, relay 1 first
    std::vector<int> relays; // on, off, pulse: relays 1 to 8
    // pulse --for: how long; not given, each relay's own length from boards.conf.
    std::optional<std::chrono::milliseconds> pulse;
    std::string file;    // play
    std::string serial;  // set-serial: five printable characters
    int resolution = 1;  // play: milliseconds per tick
    bool repeat = false; // play
    // serve: an MQTT broker to bridge the boards to, and how.
    std::string mqttUrl;          // --mqtt mqtt://[user@]host[:port] or mqtts://...
    std::string mqttCaFile;       // --mqtt-ca
    std::string mqttPasswordFile; // --mqtt-password-file
    std::string mqttNode;         // --mqtt-node: this host's name on the broker
    bool discovery = true;        // --no-discovery turns Home Assistant discovery off
    std::string programsDir;      // --programs: files program/play may name
    // serve: the HTTP front end, and how.
    std::string httpListen;    // --http [ADDR:]PORT
    std::string httpCert;      // --http-cert, with --http-key: TLS
    std::string httpKey;       // --http-key
    std::string httpTokenFile; // --http-token-file: read when it exists, made otherwise
};

struct UsageError {
    std::string message;
};

// "300ms", "2s", "5min": a whole number and its unit, as boards.conf writes durations.
std::optional<std::chrono::milliseconds> parseDuration(const std::string& text);

std::variant<Command, UsageError> parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

} // namespace cli
