#pragma once

#include "model/Model.h"

#include <QJsonObject>

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
    bool present = false;    // false while the board is unplugged or does not answer
    std::uint8_t relays = 0; // bit n-1 = relay n
    model::Run run = model::Run::Idle;
    int row = 0; // the current row, from 0
    int rows = 1;
};

State stateOf(const model::Snapshot& shown, const Holder& holder);

// A run's state as front ends name it: "idle", "running" or "paused".
const char* runName(model::Run run);

// {"id":..., "holder":..., "pid":..., "present":..., "relays":"10100000", "run":..., "row":...,
// "rows":...}: the socket's state reply and watch events, and what the other transports show.
QJsonObject toJson(const State& state);

} // namespace service
