#include "service/State.h"

#include "devices/RelayMap.h"
#include "model/StepText.h"

#include <vector>

#include <unistd.h>

namespace service {

State stateOf(const model::Snapshot& shown, const Holder& holder) {
    State state;
    state.id = holder.id;
    state.holder = holder.kind;
    state.pid = ::getpid();
    state.present = shown.boardFound;
    state.relays = shown.relayByte;
    state.relayCount = shown.relayCount;
    state.known = shown.knownRelays;
    state.run = shown.run;
    state.row = shown.currentRow;
    state.rows = shown.rowCount();
    return state;
}

bool allKnown(const State& state) {
    return state.known == 0xFF;
}

std::string knownPattern(const State& state) {
    std::string pattern = steps::patternOfByte(state.relays);
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (!(state.known & entry.mask))
            pattern[static_cast<std::size_t>(entry.relay - 1)] = '?';
    return pattern;
}

std::string unknownRelaysText(const State& state) {
    std::vector<std::string> unknown;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (!(state.known & entry.mask))
            unknown.push_back(std::to_string(entry.relay));
    std::string text = unknown.size() == 1 ? "relay " : "relays ";
    for (std::size_t i = 0; i < unknown.size(); ++i)
        text += (i == 0 ? "" : i + 1 == unknown.size() ? " and " : ", ") + unknown[i];
    return text;
}

const char* runName(model::Run run) {
    switch (run) {
    case model::Run::Running:
        return "running";
    case model::Run::Paused:
        return "paused";
    case model::Run::Idle:
        break;
    }
    return "idle";
}

QJsonObject toJson(const State& state) {
    QJsonObject json{{QStringLiteral("id"), QString::fromStdString(state.id)},
                     {QStringLiteral("holder"), QString::fromStdString(state.holder)},
                     {QStringLiteral("pid"), static_cast<qint64>(state.pid)},
                     {QStringLiteral("present"), state.present},
                     {QStringLiteral("relays"),
                      allKnown(state)
                          ? QJsonValue(QString::fromStdString(steps::patternOfByte(state.relays)))
                          : QJsonValue(QJsonValue::Null)},
                     {QStringLiteral("run"), QLatin1String(runName(state.run))},
                     {QStringLiteral("row"), state.row},
                     {QStringLiteral("rows"), state.rows}};
    if (state.relayCount < devices::kRelayCount)
        json.insert(QStringLiteral("relayCount"), state.relayCount);
    if (!allKnown(state))
        json.insert(QStringLiteral("known"), QString::fromStdString(knownPattern(state)));
    QJsonObject names;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const std::string& name = state.names.at(static_cast<std::size_t>(entry.relay - 1));
        if (!name.empty() && entry.relay <= state.relayCount)
            names.insert(QString::number(entry.relay), QString::fromStdString(name));
    }
    if (!names.isEmpty())
        json.insert(QStringLiteral("names"), names);
    return json;
}

} // namespace service
