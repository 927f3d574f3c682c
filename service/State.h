#pragma once

#include "model/Model.h"

#include <QJsonObject>

#include <array>
#include <cstdint>
#include <string>

// A held board's state as every transport tells it: one object, one JSON form.
namespace service {

// Who holds a board: its id, and what kind of holder ("window", "play", "serve").
struct Holder {
    std::string id;
    std::string kind;
};

struct State {
    std::string id;
    std::string holder;
    std::int64_t pid = 0;
    bool present = false;      // false while the board is unplugged or does not answer
    std::uint8_t relays = 0;   // bit n-1 = relay n
    int relayCount = 8;        // relays above it are off
    std::uint8_t known = 0xFF; // the relays whose state is known (a board that cannot read back)
    model::Run run = model::Run::Idle;
    int row = 0; // the current row, from 0
    int rows = 1;
    std::array<std::string, devices::kMaxRelays> names{}; // boards.conf's relayN.name; [0] relay 1
};

State stateOf(const model::Snapshot& shown, const Holder& holder);

// Whether every relay's state is known.
bool allKnown(const State& state);

// "10?00000": the relays as far as they are known, "?" for one that is not.
std::string knownPattern(const State& state);

// "relays 1, 2 and 4": the relays of the board whose state is not known.
std::string unknownRelaysText(const State& state);

// A run's state as front ends name it: "idle", "running" or "paused".
const char* runName(model::Run run);

// {"id":..., "holder":..., "pid":..., "present":..., "relays":"10100000", "run":..., "row":...,
// "rows":...}: the socket's state reply and watch events, and what the other transports show.
// A board with fewer relays adds "relayCount"; while some relays are unknown, "relays" is null
// and "known" is the pattern as far as it is known ("??1?0000"). Relays named in boards.conf
// add "names" ({"1": "Garage door"}).
QJsonObject toJson(const State& state);

} // namespace service
