#include "service/State.h"

#include "model/StepText.h"

#include <unistd.h>

namespace service {

State stateOf(const model::Snapshot& shown, const Holder& holder) {
    State state;
    state.id = holder.id;
    state.holder = holder.kind;
    state.pid = ::getpid();
    state.present = shown.boardFound;
    state.relays = shown.relayByte;
    state.run = shown.run;
    state.row = shown.currentRow;
    state.rows = shown.rowCount();
    return state;
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
    return {{QStringLiteral("id"), QString::fromStdString(state.id)},
            {QStringLiteral("holder"), QString::fromStdString(state.holder)},
            {QStringLiteral("pid"), static_cast<qint64>(state.pid)},
            {QStringLiteral("present"), state.present},
            {QStringLiteral("relays"), QString::fromStdString(steps::patternOfByte(state.relays))},
            {QStringLiteral("run"), QLatin1String(runName(state.run))},
            {QStringLiteral("row"), state.row},
            {QStringLiteral("rows"), state.rows}};
}

} // namespace service
