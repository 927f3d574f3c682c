#include "share/Operations.h"

#include "devices/RelayMap.h"
#include "model/Failure.h"
#include "model/ProgramFile.h"

namespace share {

namespace {

// A program's text, read by the rules of a program file.
ProgramRows programOf(const std::string& text) {
    ProgramRows rows;
    programfile::ProgramReader reader(!programfile::holdsLineFeed(text),
                                      [&rows](std::string_view row) { rows.append(row); });
    reader.feed(text);
    reader.finish();
    if (rows.empty())
        rows.append("00000000-0");
    return rows;
}

template <typename Press> void pressIf(model::Model& model, model::Run when, Press&& press) {
    const model::Model::Lock lock = model.lockForAction();
    if (model.snapshot()->run == when)
        press();
}

} // namespace

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

bool setRelays(model::Model& model, std::uint8_t byte) {
    return model.writeRelays(byte);
}

bool switchRelays(model::Model& model, const std::vector<int>& relays, Switch how) {
    const model::Model::Lock lock = model.lockForAction();
    std::uint8_t byte = model.snapshot()->relayByte;
    for (const int relay : relays) {
        const bool on =
            how == Switch::Toggle ? !(byte & devices::relayEntry(relay).mask) : how == Switch::On;
        byte = devices::withRelay(byte, relay, on);
    }
    return model.writeRelays(byte);
}

std::variant<ProgramRows, std::string> checkedProgram(const std::string& text, bool repeat) {
    ProgramRows rows = programOf(text);
    if (const auto bad = model::findUnplayableStep(rows, repeat))
        return "line " + std::to_string(bad->row + 1) +
               " cannot be played: " + model::failureText(bad->failure);
    return rows;
}

void playRows(model::Model& model, ProgramRows rows, std::optional<int> resolution,
              std::optional<bool> repeat) {
    const model::Model::Lock lock = model.lockForAction();
    if (model.snapshot()->run != model::Run::Idle)
        model.startOrStop();
    model.loadProgram(std::move(rows));
    if (resolution)
        model.changeResolution(*resolution);
    if (repeat)
        model.setRepeat(*repeat);
    model.startOrStop();
}

std::optional<std::string> playProgram(model::Model& model, const std::string& text,
                                       std::optional<int> resolution, std::optional<bool> repeat) {
    std::variant<ProgramRows, std::string> checked =
        checkedProgram(text, repeat.value_or(model.snapshot()->repeat));
    if (auto* why = std::get_if<std::string>(&checked))
        return std::move(*why);
    playRows(model, std::move(std::get<ProgramRows>(checked)), resolution, repeat);
    return std::nullopt;
}

void stopProgram(model::Model& model) {
    const model::Model::Lock lock = model.lockForAction();
    if (model.snapshot()->run != model::Run::Idle)
        model.startOrStop();
}

void pauseProgram(model::Model& model) {
    pressIf(model, model::Run::Running, [&] { model.pauseOrResume(); });
}

void resumeProgram(model::Model& model) {
    pressIf(model, model::Run::Paused, [&] { model.pauseOrResume(); });
}

} // namespace share
