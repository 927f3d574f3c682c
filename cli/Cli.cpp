#include "cli/Cli.h"

#include "cli/CommandLine.h"
#include "devices/Environment.h"
#include "devices/Identity.h"
#include "devices/RelayMap.h"
#include "engine/Sequencer.h"
#include "http/Server.h"
#include "http/Token.h"
#include "model/Failure.h"
#include "model/Interlock.h"
#include "model/Model.h"
#include "mqtt/Bridge.h"
#include "service/BoardHost.h"
#include "service/StartAndExit.h"
#include "service/State.h"
#include "service/Supervisor.h"
#include "share/Holder.h"
#include "share/Request.h"

#include "model/ProgramFile.h"
#include "model/ProgramRows.h"
#include "model/StepText.h"
#include <QFile>

#include <QString>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace cli {

namespace {

enum ExitStatus { kDone = 0, kBoardFailure = 1, kBadInput = 2 };

int fail(ExitStatus status, const std::string& message) {
    std::fprintf(stderr, "tambrook-cli: %s\n", message.c_str());
    return status;
}

std::string boardName(int board) {
    return "board " + std::to_string(board);
}

class SleepingPause final : public model::Pause {
public:
    void pause(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

// The boards there now, as the registry describes them.
std::vector<devices::DeviceInfo> describeBoards(devices::Registry& registry) {
    std::vector<devices::DeviceInfo> boards;
    for (devices::Registry::Entry& entry : registry.enumerate())
        boards.push_back(std::move(entry.info));
    return boards;
}

std::string noSuchBoard(int board, std::uint32_t count) {
    return "no " + boardName(board) + " (" + std::to_string(count) +
           (count == 1 ? " board" : " boards") + " found)";
}

// A board named on the command line, found among those attached now.
struct Target {
    int number = 0; // from 1
    std::string id;
    devices::IdSource source = devices::IdSource::Number; // which rule gave the id
    int relayCount = devices::kMaxRelays; // as the board describes itself, when attached
};

// A board that is not attached now but has a holder (one that waits for it to be plugged back)
// is still reached, by its id, through that holder.
std::variant<Target, std::string> findTarget(devices::Registry& registry, const std::string& name) {
    const std::vector<devices::DeviceInfo> boards = describeBoards(registry);
    const std::optional<int> number = devices::findBoard(boards, name);
    const auto count = static_cast<std::uint32_t>(boards.size());
    if (number && static_cast<std::uint32_t>(*number) <= count) {
        const auto index = static_cast<std::size_t>(*number - 1);
        devices::BoardId id = devices::identifyBoards(boards)[index];
        return Target{*number, std::move(id.id), id.source,
                      std::clamp(boards[index].relayCount, 1, devices::kMaxRelays)};
    }
    const bool isNumber =
        !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    if (!isNumber && share::ask(name, share::requestObject({})).kind != share::Answer::Kind::Free)
        return Target{0, name, devices::IdSource::Number};
    return "no board " + name + " (" + std::to_string(count) + (count == 1 ? " board" : " boards") +
           " found)";
}

// How messages name a target: by its number, or by its id when it is not attached.
std::string nameOf(const Target& target) {
    return target.number > 0 ? boardName(target.number) : target.id;
}

std::string orDash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// The relays boards.conf names, one indented line each under their board's: "  relay 1: Pump".
void printRelayNames(const devices::BoardOptions& options, int relayCount) {
    for (int relay = 1; relay <= std::clamp(relayCount, 1, devices::kMaxRelays); ++relay)
        if (const std::string& name = options.relay(relay).name; !name.empty())
            std::printf("  relay %d: %s\n", relay, name.c_str());
}

// One line per board: number, id (marked when its serial is another board's too), port path,
// serial, family, relay count, and who holds it; then its relays' names, if it has any.
int listBoards(devices::Registry& registry) {
    const std::vector<devices::DeviceInfo> boards = describeBoards(registry);
    const std::vector<devices::BoardId> ids = devices::identifyBoards(boards);
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const share::Answer answer =
            share::ask(ids[i].id, {{QStringLiteral("request"), QStringLiteral("state")}});
        std::string holder = "free";
        if (answer.kind == share::Answer::Kind::Answered)
            holder = answer.reply.value(QStringLiteral("holder")).toString().toStdString() + ' ' +
                     std::to_string(answer.reply.value(QStringLiteral("pid")).toInteger());
        else if (answer.kind == share::Answer::Kind::Busy)
            holder = "busy";
        else if (answer.kind == share::Answer::Kind::Untrusted)
            holder = "untrusted";
        std::printf("%zu %s%s %s %s %s %d %s\n", i + 1, ids[i].id.c_str(),
                    ids[i].duplicateSerial ? " (duplicate serial)" : "",
                    orDash(boards[i].portPath).c_str(), orDash(boards[i].serial).c_str(),
                    orDash(boards[i].family).c_str(), boards[i].relayCount, holder.c_str());
        printRelayNames(registry.options(ids[i].id), boards[i].relayCount);
    }
    return kDone;
}

// The signals that end a play: INT and TERM are the usual way to stop a --repeat run; HUP (the
// terminal went away), PIPE and QUIT stop it the same way, after the current write and with the
// board closed, and exit with the status a shell gives for the signal.
const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT};

int statusAfterSignal(int signal) {
    return signal == SIGINT || signal == SIGTERM ? kDone : 128 + signal;
}

// Why a board could not be opened, as far as can be told.
std::string whyNotOpened(model::Opening opening, int boardNumber, std::uint32_t count) {
    switch (opening) {
    case model::Opening::NoSuchBoard:
        return noSuchBoard(boardNumber, count);
    case model::Opening::StoppedAnswering:
        return boardName(boardNumber) + " stopped answering while it was being opened";
    case model::Opening::WentAway:
        return boardName(boardNumber) + " went away while it was being opened";
    case model::Opening::Refused:
    case model::Opening::Opened:
        break;
    }
    return boardName(boardNumber) + " could not be opened (in use by another program?)";
}

// Holds the stop signals back while it lives, so that a command that has opened a board always
// closes it; a signal that came meanwhile takes effect once it is gone.
class HeldSignals {
public:
    HeldSignals() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : kStopSignals)
            sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

private:
    sigset_t previous_{};
};

// Opens the numbered board on the model, or says why it could not.
// The board was found before, so one that is not there now went away.
std::optional<std::string> openBoard(model::Model& model, int boardNumber, bool adoptPins) {
    model::Opening opening = model.openBoard(boardNumber, adoptPins);
    if (opening == model::Opening::Opened)
        return std::nullopt;
    if (opening == model::Opening::NoSuchBoard)
        opening = model::Opening::WentAway;
    return whyNotOpened(opening, boardNumber, model.snapshot()->deviceCount);
}

// The request that get, set, on or off makes of a board's holder.
QJsonObject requestFor(const Command& command) {
    share::Request request;
    switch (command.kind) {
    case Command::Kind::Set:
        request.kind = share::Request::Kind::Set;
        request.pattern = steps::relayByteOfRow(command.pattern);
        break;
    case Command::Kind::On:
    case Command::Kind::Off:
        request.kind = command.kind == Command::Kind::On ? share::Request::Kind::On
                                                         : share::Request::Kind::Off;
        request.relays = command.relays;
        break;
    default:
        break;
    }
    return share::requestObject(request);
}

// A relay that set, on or off names and the board does not have; nothing when all are there.
std::optional<std::string> absentRelay(const Target& target, const Command& command) {
    std::vector<int> named = command.relays;
    if (command.kind == Command::Kind::Set)
        for (const devices::RelayMapEntry& entry : devices::kRelayMap)
            if (steps::relayOn(command.pattern.at(static_cast<std::size_t>(entry.relay - 1))))
                named.push_back(entry.relay);
    for (const int relay : named)
        if (relay > target.relayCount)
            return nameOf(target) + " has " + model::relayCountText(target.relayCount) +
                   "; there is no relay " + std::to_string(relay) + " to switch";
    return std::nullopt;
}

// The message of get on a board whose relays are not all known: which of them are not.
std::string unknownRelays(const Target& target, const service::State& state) {
    const std::string unknown = service::unknownRelaysText(state);
    return nameOf(target) + " cannot read back its relays: " + unknown +
           (unknown.rfind("relays", 0) == 0 ? " are" : " is") + " unknown until set";
}

// The state a holder's reply tells, as far as get needs it: its relays and those known.
service::State stateOfReply(const QJsonObject& reply) {
    service::State state;
    const QJsonValue relays = reply.value(QStringLiteral("relays"));
    const std::string pattern = (relays.isString() ? relays : reply.value(QStringLiteral("known")))
                                    .toString()
                                    .toStdString();
    for (const devices::RelayMapEntry& entry : devices::kRelayMap) {
        const auto at = static_cast<std::size_t>(entry.relay - 1);
        const char character = at < pattern.size() ? pattern[at] : '?';
        if (character == '?')
            state.known &= static_cast<std::uint8_t>(~entry.mask);
        else if (character == '1')
            state.relays |= entry.mask;
    }
    return state;
}

// A board somebody holds is reached through its holder: what it answered, as an exit status.
std::optional<int> throughHolder(const Target& target, const QJsonObject& request,
                                 const Command& command) {
    const share::Answer answer = share::ask(target.id, request);
    if (answer.kind == share::Answer::Kind::Free)
        return std::nullopt;
    if (answer.kind == share::Answer::Kind::Busy)
        return fail(kBoardFailure, nameOf(target) + " is busy (its holder does not answer)");
    if (answer.kind == share::Answer::Kind::Untrusted)
        return fail(kBoardFailure, nameOf(target) + ": " + answer.why);
    if (!answer.reply.value(QStringLiteral("ok")).toBool())
        return fail(answer.reply.value(QStringLiteral("interlock")).toBool() ? kBadInput
                                                                             : kBoardFailure,
                    nameOf(target) + ": " +
                        answer.reply.value(QStringLiteral("error")).toString().toStdString());
    if (command.kind == Command::Kind::Get) {
        const service::State state = stateOfReply(answer.reply);
        if (!service::allKnown(state))
            return fail(kBoardFailure, unknownRelays(target, state));
        std::printf("%s\n", steps::patternOfByte(state.relays).c_str());
    }
    return kDone;
}

// This process holds the board for the whole command, so under `switch` it waits out the dead
// time itself, between the two writes, with the model's lock free.
bool writeInterlocked(model::Model& model, std::uint8_t which, std::uint8_t relays) {
    const model::Interlocks interlocks = model.interlocks();
    const std::shared_ptr<const model::Snapshot> shown = model.snapshot();
    const model::InterlockSwitch plan = model::planInterlockedWrite(
        interlocks, static_cast<std::uint8_t>(shown->relayByte | ~shown->knownRelays), which,
        relays);
    if (!model.switchRelays(plan.which, plan.relays))
        return false;
    if (!plan.onAfter)
        return true;
    std::this_thread::sleep_for(interlocks.deadTime());
    return model.switchRelays(plan.onAfter, plan.onAfter);
}

// get, set, on and off: through the board's holder, or else one open, at most one read and one
// write (two under an interlock's `switch`).
int switchRelays(devices::Registry& registry, const Command& command) {
    const HeldSignals held;
    const std::variant<Target, std::string> found = findTarget(registry, command.boards.front());
    if (const auto* why = std::get_if<std::string>(&found))
        return fail(kBoardFailure, *why);
    const Target& target = std::get<Target>(found);
    if (const std::optional<std::string> why = absentRelay(target, command))
        return fail(kBadInput, *why);
    if (const std::optional<int> status = throughHolder(target, requestFor(command), command)) {
        std::fflush(stdout);
        return *status;
    }
    if (target.number == 0)
        return fail(kBoardFailure, "no board " + target.id + " (its holder went away)");
    SleepingPause pause;
    model::Model model(registry, pause);
    if (const std::optional<std::string> why = openBoard(model, target.number, false))
        return fail(kBoardFailure, *why);
    std::optional<std::uint8_t> byte = std::uint8_t{0};
    if (command.kind != Command::Kind::Set)
        byte = model.readRelays();
    int status = kDone;
    if (!byte) {
        status = fail(kBoardFailure, "could not read the relays of " + boardName(target.number));
    } else if (command.kind == Command::Kind::Get) {
        // This process opened the board itself: one that cannot read back is all unknown.
        const service::State state = service::stateOf(*model.snapshot(), {});
        if (service::allKnown(state))
            std::printf("%s\n", steps::patternOfByte(*byte).c_str());
        else
            status = fail(kBoardFailure, unknownRelays(target, state));
    } else {
        std::uint8_t which = 0xFF;
        if (command.kind == Command::Kind::Set) {
            byte = steps::relayByteOfRow(command.pattern);
        } else {
            which = 0; // the others are left as they are, unknown ones unknown
            for (const int relay : command.relays)
                which |= devices::relayEntry(relay).mask;
        }
        for (const int relay : command.relays)
            byte = devices::withRelay(*byte, relay, command.kind == Command::Kind::On);
        try {
            if (!writeInterlocked(model, which, *byte))
                status = fail(kBoardFailure,
                              "could not switch the relays of " + boardName(target.number));
        } catch (const model::InterlockRefused& refusal) {
            status = fail(kBadInput, nameOf(target) + ": " + refusal.what());
        }
    }
    model.closeBoard();
    std::fflush(stdout); // before a held signal can end the process
    return status;
}

std::string messageOf(std::exception_ptr failure) {
    const std::string text = model::failureText(failure);
    return text.empty() ? "unknown failure" : text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The held board's relays as its on_start says; where a relay starts as it was left, its pattern
// is kept from now on. Why not, when the board did not take the write.
std::optional<std::string> startHeldBoard(service::BoardHost& host) {
    const devices::BoardOptions& options = host.options();
    const bool last = service::keepsLast(options);
    const std::string path = last ? service::lastStatePath(service::stateFolder(), host.id()) : "";
    const service::RelayWrite start =
        service::startWrite(options, host.model().snapshot()->relayCount,
                            last ? service::readLastRelays(path) : std::nullopt);
    bool taken = false;
    std::optional<std::string> refused;
    try {
        taken = service::applyWrite(host.model(), start);
    } catch (const model::InterlockRefused& refusal) {
        // on_start = on (or a `last` pattern kept from before) beside an interlock: the interlock
        // wins, and the relays stay as they were found.
        refused = host.id() + ": the relays its on_start gives are not written: " + refusal.what();
    }
    if (last)
        host.add(std::make_unique<service::LastStateKeeper>(host.model(), path));
    if (refused)
        return refused;
    if (!taken)
        return host.id() + " did not take the relays its on_start gives";
    return std::nullopt;
}

// play: the file is read as "Open File" reads it and every step checked before any board is
// touched; then the board is opened (adopting its pins, writing nothing) and the program started
// as Start starts it. The sequencer's thread plays it while this thread waits for its end, a
// signal, or a failure. A board that stops answering does not stop the run: it is looked for
// once a second and, when a board with its id is back, opened again and given the current step.
// A board this command opened itself, held as a holder holds one: its on_start, its socket, and
// the supervisor that opens it again when it is back. The host, or why it cannot be held.
std::variant<service::BoardHost*, std::string>
holdOpenedBoard(devices::Registry& registry, service::Supervisor& supervisor,
                std::unique_ptr<model::Model> opened, const Target& target, const char* kind) {
    std::variant<std::unique_ptr<service::BoardHost>, std::string> made = service::BoardHost::make(
        std::move(opened), {target.id, target.source}, kind, registry.options(target.id));
    if (const auto* why = std::get_if<std::string>(&made))
        return "cannot " + std::string(kind) + " on " + boardName(target.number) + ": " + *why;
    std::unique_ptr<service::BoardHost>& held = std::get<std::unique_ptr<service::BoardHost>>(made);
    if (const std::optional<std::string> refused = startHeldBoard(*held))
        std::fprintf(stderr, "tambrook-cli: %s\n", refused->c_str());
    std::variant<std::unique_ptr<share::BoardServer>, std::string> server =
        share::BoardServer::make(held->executor());
    if (const auto* why = std::get_if<std::string>(&server))
        std::fprintf(stderr, "tambrook-cli: %s is not shared: %s\n",
                     boardName(target.number).c_str(), why->c_str());
    else
        held->add(std::move(std::get<std::unique_ptr<share::BoardServer>>(server)));
    service::BoardHost* const host = held.get();
    supervisor.add(std::move(held));
    return host;
}

int playProgram(devices::Registry& registry, const Command& command) {
    // Signals are taken by this thread alone, from the start: every thread made later (the
    // sequencer's, the server's) inherits the mask, and a signal that comes while the board is
    // being opened stops the run at its first look.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : kStopSignals)
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ProgramRows program;
    if (const std::optional<QString> failure = model::readProgramFile(command.file, program))
        return fail(kBadInput, failure->toLocal8Bit().toStdString());
    if (program.empty())
        program.append("00000000-0");
    if (const std::optional<model::UnplayableStep> bad =
            model::findUnplayableStep(program, command.repeat))
        return fail(kBadInput, "line " + std::to_string(bad->row + 1) + " of " + command.file +
                                   " cannot be played: " + messageOf(bad->failure));
    const std::variant<Target, std::string> found = findTarget(registry, command.boards.front());
    if (const auto* why = std::get_if<std::string>(&found))
        return fail(kBoardFailure, *why);
    const Target& target = std::get<Target>(found);
    if (const std::optional<model::AbsentRelay> absent =
            model::findAbsentRelay(program, target.relayCount))
        return fail(kBadInput, "line " + std::to_string(absent->row + 1) + " of " + command.file +
                                   " switches relay " + std::to_string(absent->relay) + ", which " +
                                   nameOf(target) + " does not have (it has " +
                                   model::relayCountText(target.relayCount) + ")");
    // Whatever the policy: nobody chooses between the relays of a step.
    if (const std::optional<model::InterlockBreach> breach =
            model::findInterlockBreach(program, model::Interlocks(registry.options(target.id))))
        return fail(kBadInput, "line " + std::to_string(breach->row + 1) + " of " + command.file +
                                   " cannot be played: " + breach->why);
    SleepingPause pause;
    auto opened = std::make_unique<model::Model>(registry, pause);
    model::Model& model = *opened;
    const std::size_t rowCount = program.size();
    model.loadProgram(programRows({"00000000-0"}));
    model.stopProgram(); // the timer is off until Start, as after the window's start-up
    // The pins are read and adopted; nothing is written.
    // A board somebody holds plays the program there.
    QFile text(QString::fromLocal8Bit(command.file.c_str()));
    if (text.size() <= static_cast<qint64>(programfile::kMaxFileBytes) &&
        text.open(QIODevice::ReadOnly)) {
        share::Request request;
        request.kind = share::Request::Kind::Play;
        request.program = text.readAll().toStdString();
        // Its own settings, the defaults included: a holder keeps its own only when not told.
        request.resolution = command.resolution;
        request.repeat = command.repeat;
        if (const std::optional<int> status =
                throughHolder(target, share::requestObject(request), command))
            return *status;
    }
    if (target.number == 0)
        return fail(kBoardFailure, "no board " + target.id + " (its holder went away)");
    if (const std::optional<std::string> why = openBoard(model, target.number, true))
        return fail(kBoardFailure, *why);
    model.keepRunningWithoutBoard();
    bool away = false; // the board stopped answering; the run goes on without it
    // Looks for the board again once a second (and when udev says a device came or went) while
    // it is away, and opens it again when it is back.
    service::Supervisor supervisor(
        registry,
        {{},
         [&](service::BoardHost& host) {
             away = false;
             std::fprintf(stderr, "tambrook-cli: %s is back; its relays were set to %s\n",
                          boardName(target.number).c_str(),
                          steps::patternOfByte(host.model().snapshot()->relayByte).c_str());
         },
         {}});
    // While it plays, this process holds the board and serves it.
    const std::variant<service::BoardHost*, std::string> held =
        holdOpenedBoard(registry, supervisor, std::move(opened), target, "play");
    if (const auto* why = std::get_if<std::string>(&held))
        return fail(kBoardFailure, *why);
    service::BoardHost& host = *std::get<service::BoardHost*>(held);
    model.loadProgram(std::move(program));
    model.changeResolution(command.resolution);
    model.setRepeat(command.repeat);
    std::mutex tickFailureLock;
    std::exception_ptr tickFailure; // under tickFailureLock
    host.sequencer().setTickObserver([&](std::exception_ptr failure, bool) {
        const std::lock_guard lock(tickFailureLock);
        if (failure && !tickFailure)
            tickFailure = failure;
    });
    {
        const model::Model::Lock lock = model.lockForAction();
        try {
            model.startOrStop(); // applies the first step: the first write
        } catch (...) {
            const std::lock_guard failureLock(tickFailureLock);
            tickFailure = std::current_exception();
            model.stopProgram();
        }
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    int status = kDone;
    auto shown = start - std::chrono::seconds(1);
    for (;;) {
        timespec wait{0, 10'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (away)
            supervisor.lookWhenDue();
        const model::Model::Lock lock = model.lockForAction();
        const std::shared_ptr<const model::Snapshot> look = model.snapshot();
        const model::Snapshot& state = *look;
        std::exception_ptr failure;
        {
            const std::lock_guard failureLock(tickFailureLock);
            failure = tickFailure;
        }
        const auto now = std::chrono::steady_clock::now();
        if (terminal && now - shown >= std::chrono::milliseconds(100)) {
            shown = now;
            std::printf("\rstep %d of %zu, %.1f s ", state.currentRow + 1, rowCount,
                        secondsSince(start));
            std::fflush(stdout);
        }
        if (!state.boardFound && !away) {
            away = true;
            std::fprintf(stderr,
                         "%stambrook-cli: %s stopped answering; the program goes on and the board "
                         "is opened again when it is back\n",
                         terminal ? "\n" : "", boardName(target.number).c_str());
        }
        if (failure) {
            status = fail(kBadInput, "step " + std::to_string(state.currentRow + 1) + " of " +
                                         command.file + " cannot be played: " + messageOf(failure));
            break;
        }
        if (signal > 0) {
            model.stopProgram(); // after the current write; the relays keep the current step
            status = statusAfterSignal(signal);
            break;
        }
        if (!state.timerEnabled) {
            if (away)
                status = fail(kBoardFailure, boardName(target.number) +
                                                 " stopped answering and was not back before the "
                                                 "program ended");
            break;
        }
    }
    if (terminal)
        std::printf("\n");
    supervisor.stopAll(); // the board closes with its relays in the current step
    return status;
}

void log(const std::string& line) {
    std::fprintf(stderr, "tambrook-cli: %s\n", line.c_str());
}

// The pulse the command asks for, as a holder takes it.
service::Command pulseOf(const Command& command) {
    service::Command pulse;
    pulse.kind = service::Command::Kind::Pulse;
    pulse.relays = command.relays;
    pulse.pulse = command.pulse;
    return pulse;
}

// A relay the pulse names that has no length to pulse for: without --for, each needs its own.
std::optional<std::string> missingPulseLength(const Command& command,
                                              const devices::BoardOptions& options) {
    if (command.pulse)
        return std::nullopt;
    for (const int relay : command.relays)
        if (!options.relay(relay).pulse)
            return "relay " + std::to_string(relay) + " has no pulse length: give --for TIME, or " +
                   "set relay" + std::to_string(relay) + ".pulse in boards.conf";
    return std::nullopt;
}

// pulse: a board's holder runs the pulse on its own clock and this returns at once; otherwise
// this process holds the board as play does (adopting its pins, serving it on its socket) until
// the pulse has ended, and a signal ends it early, with the relay off.
int pulseRelays(devices::Registry& registry, const Command& command) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : kStopSignals)
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const std::variant<Target, std::string> found = findTarget(registry, command.boards.front());
    if (const auto* why = std::get_if<std::string>(&found))
        return fail(kBoardFailure, *why);
    const Target& target = std::get<Target>(found);
    if (const std::optional<std::string> why = absentRelay(target, command))
        return fail(kBadInput, *why);
    // The holder reads the same boards.conf: a length it would refuse is refused here.
    if (const std::optional<std::string> why =
            missingPulseLength(command, registry.options(target.id)))
        return fail(kBadInput, *why);
    share::Request request;
    static_cast<service::Command&>(request) = pulseOf(command);
    if (const std::optional<int> status =
            throughHolder(target, share::requestObject(request), command))
        return *status;
    if (target.number == 0)
        return fail(kBoardFailure, "no board " + target.id + " (its holder went away)");
    SleepingPause pause;
    auto opened = std::make_unique<model::Model>(registry, pause);
    model::Model& model = *opened;
    model.loadProgram(programRows({"00000000-0"}));
    model.stopProgram();
    if (const std::optional<std::string> why = openBoard(model, target.number, true))
        return fail(kBoardFailure, *why);
    model.keepRunningWithoutBoard();
    service::Supervisor supervisor(registry, {});
    const std::variant<service::BoardHost*, std::string> held =
        holdOpenedBoard(registry, supervisor, std::move(opened), target, "pulse");
    if (const auto* why = std::get_if<std::string>(&held))
        return fail(kBoardFailure, *why);
    service::BoardHost& host = *std::get<service::BoardHost*>(held);
    const service::Reply reply = host.executor().execute(pulseOf(command));
    int status = kDone;
    if (!reply.ok)
        status = fail(reply.interlock ? kBadInput : kBoardFailure,
                      boardName(target.number) + ": " + reply.error);
    // Until every pulse has ended, whoever else pulsed meanwhile, or a write took them over.
    int signal = 0;
    while (reply.ok && signal <= 0 && model.snapshot()->pulsedRelays != 0) {
        timespec wait{0, 10'000'000};
        signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (!model.snapshot()->boardFound)
            supervisor.lookWhenDue();
    }
    if (signal > 0)
        status = statusAfterSignal(signal);
    supervisor.stopAll(); // a pulse cut short by a signal ends with its relay off
    return status;
}

// Why each board that could not be served was not, as last logged: a board that cannot be
// served is tried again at every look (with --all), and logged again only for another reason.
using Unserved = std::map<std::string, std::string>;

void logUnserved(Unserved& unserved, const std::string& id, const std::string& why) {
    if (std::exchange(unserved[id], why) != why)
        log(why);
}

// The served board on the broker too, or why its bridge could not be made.
std::optional<std::string> bridgeBoard(service::BoardHost& host,
                                       const mqtt::BrokerSettings& broker) {
    std::variant<std::unique_ptr<mqtt::BoardBridge>, std::string> made =
        mqtt::BoardBridge::make(host.executor(), host.board(), broker, log);
    if (const auto* why = std::get_if<std::string>(&made))
        return *why;
    host.add(std::move(std::get<std::unique_ptr<mqtt::BoardBridge>>(made)));
    return std::nullopt;
}

// Opens the board and holds it with a model and sequencer of its own, served on its socket;
// nothing when it cannot. One that cannot be served (no descriptor left for its timer or socket)
// is closed again and the others go on.
std::unique_ptr<service::BoardHost> serveBoard(devices::Registry& registry, model::Pause& pause,
                                               const Target& target, Unserved& unserved) {
    if (target.number == 0) {
        logUnserved(unserved, target.id, target.id + " is not attached; another process holds it");
        return nullptr;
    }
    auto model = std::make_unique<model::Model>(registry, pause);
    // As the window starts: the labels of labels.dat in the working folder name the relays.
    model->create();
    model->keepRunningWithoutBoard();
    if (const std::optional<std::string> why = openBoard(*model, target.number, true)) {
        logUnserved(unserved, target.id, *why);
        return nullptr;
    }
    std::variant<std::unique_ptr<service::BoardHost>, std::string> held = service::BoardHost::make(
        std::move(model), {target.id, target.source}, "serve", registry.options(target.id));
    std::string why;
    if (const auto* failure = std::get_if<std::string>(&held)) {
        why = *failure;
    } else {
        service::BoardHost& host = *std::get<std::unique_ptr<service::BoardHost>>(held);
        if (const std::optional<std::string> refused = startHeldBoard(host))
            log(*refused);
        try {
            std::variant<std::unique_ptr<share::BoardServer>, std::string> server =
                share::BoardServer::make(host.executor(), log);
            if (const auto* failure = std::get_if<std::string>(&server))
                why = *failure;
            else
                host.add(std::move(std::get<std::unique_ptr<share::BoardServer>>(server)));
        } catch (const std::exception& failure) {
            why = failure.what();
        }
    }
    if (!why.empty()) {
        logUnserved(unserved, target.id, "cannot serve " + target.id + ": " + why);
        return nullptr; // the host, if any, closes the board as it goes
    }
    unserved.erase(target.id);
    log("opened " + target.id + " (" + boardName(target.number) + "), serving it on " +
        share::socketPath(target.id));
    return std::move(std::get<std::unique_ptr<service::BoardHost>>(held));
}

// serve: holds the named boards (or, with --all, every board found now and later) and serves
// each until INT or TERM, when the runs stop, the boards close with their relays as they are,
// and the status is 0.
// The broker named on the command line, with its password from the file or the environment.
std::variant<std::optional<mqtt::BrokerSettings>, std::string> brokerOf(const Command& command) {
    if (command.mqttUrl.empty())
        return std::optional<mqtt::BrokerSettings>();
    std::variant<mqtt::BrokerSettings, std::string> parsed = mqtt::parseBrokerUrl(command.mqttUrl);
    if (auto* why = std::get_if<std::string>(&parsed))
        return *why;
    mqtt::BrokerSettings broker = std::get<mqtt::BrokerSettings>(parsed);
    broker.caFile = command.mqttCaFile;
    broker.discovery = command.discovery;
    broker.programsDir = command.programsDir;
    broker.hostName = command.mqttNode;
    if (!command.mqttPasswordFile.empty()) {
        QFile file(QString::fromLocal8Bit(command.mqttPasswordFile.c_str()));
        if (!file.open(QIODevice::ReadOnly))
            return "cannot read the password file " + command.mqttPasswordFile;
        broker.password = file.readLine().trimmed().toStdString();
    } else if (const char* password = std::getenv("TAMBROOK_MQTT_PASSWORD")) {
        broker.password = password;
    }
    if (broker.hostName.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
            return std::string("this host has no name for the broker's topics; give --mqtt-node "
                               "NAME");
        broker.hostName = host;
    }
    if (const std::optional<std::string> why = mqtt::settingsProblem(broker))
        return *why;
    return std::optional<mqtt::BrokerSettings>(broker);
}

// The HTTP front end the command line asks for, listening, with its token; nothing without
// --http; why not, when it cannot be.
std::variant<std::unique_ptr<http::Server>, std::string> webOf(const Command& command) {
    if (command.httpListen.empty())
        return std::unique_ptr<http::Server>();
    std::variant<http::Listen, std::string> listen = http::parseListen(command.httpListen);
    if (const auto* why = std::get_if<std::string>(&listen))
        return *why;
    const std::string tokenFile =
        command.httpTokenFile.empty() ? http::defaultTokenPath() : command.httpTokenFile;
    std::variant<http::Token, std::string> token = http::loadOrMakeToken(tokenFile);
    if (const auto* why = std::get_if<std::string>(&token))
        return *why;
    if (std::get<http::Token>(token).made)
        log("made a new token for the web page and the HTTP API in " + tokenFile);
    http::Settings settings;
    settings.listen = std::get<http::Listen>(listen);
    settings.token = std::get<http::Token>(token).text;
    settings.certFile = command.httpCert;
    settings.keyFile = command.httpKey;
    settings.programsDir = command.programsDir;
    std::variant<std::unique_ptr<http::Server>, std::string> made =
        http::Server::make(std::move(settings), log);
    if (const auto* why = std::get_if<std::string>(&made))
        return *why;
    return std::move(std::get<std::unique_ptr<http::Server>>(made));
}

// Each served board takes a few descriptors (its timer, its socket, its clients'): serve takes
// as many as it is allowed.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int serveBoards(devices::Registry& registry, const Command& command) {
    const auto brokerOrWhy = brokerOf(command);
    if (const auto* why = std::get_if<std::string>(&brokerOrWhy))
        return fail(kBadInput, *why);
    const std::optional<mqtt::BrokerSettings>& broker =
        std::get<std::optional<mqtt::BrokerSettings>>(brokerOrWhy);
    // A log line that nobody reads any more is lost, which does not stop serving (as PIPE stops
    // a play).
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : kStopSignals)
        if (signal != SIGPIPE)
            sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    raiseDescriptorLimit();
    // Made before the boards' hosts and let go after them: each host's front end leaves it.
    std::variant<std::unique_ptr<http::Server>, std::string> webOrWhy = webOf(command);
    if (const auto* why = std::get_if<std::string>(&webOrWhy))
        return fail(kBadInput, *why);
    const std::unique_ptr<http::Server>& web = std::get<std::unique_ptr<http::Server>>(webOrWhy);
    SleepingPause pause;
    Unserved unserved;
    // A board that leaves is logged once it is served as not present, so whoever reads the log
    // and then asks sees it so; with --all, boards that come are served too.
    service::Supervisor::Events events;
    events.lost = [](service::BoardHost& host, bool stillOnBus) {
        log(host.id() + (stillOnBus ? " stopped answering" : " was unplugged") +
            "; it is served as not present until it is back");
    };
    events.back = [](service::BoardHost& host) {
        const std::shared_ptr<const model::Snapshot> back = host.model().snapshot();
        log(host.id() + " is back (" + boardName(back->boardEntry + 1) +
            "); its relays were set to " + steps::patternOfByte(back->relayByte));
    };
    service::Supervisor* watching = nullptr;
    if (command.allBoards)
        events.found = [&](const devices::BoardId& id, int number) {
            std::unique_ptr<service::BoardHost> host =
                serveBoard(registry, pause, {number, id.id, id.source}, unserved);
            if (!host)
                return;
            // The broker's settings were checked at the start; this can only be a want of memory
            // or threads, and the board is served on its socket all the same.
            if (broker)
                if (const std::optional<std::string> why = bridgeBoard(*host, *broker))
                    log(*why + "; it is served without MQTT");
            if (web)
                host->add(web->serve(host->executor()));
            watching->add(std::move(host));
        };
    service::Supervisor supervisor(registry, std::move(events));
    watching = &supervisor;
    const auto closed = [](const std::string& id) { log("closed " + id); };
    for (const std::string& name : command.boards) {
        const std::variant<Target, std::string> found = findTarget(registry, name);
        if (const auto* why = std::get_if<std::string>(&found)) {
            log(*why);
            continue;
        }
        const Target& target = std::get<Target>(found);
        std::unique_ptr<service::BoardHost> host = serveBoard(registry, pause, target, unserved);
        if (!host)
            continue;
        std::optional<std::string> bridgeFailure;
        if (broker)
            bridgeFailure = bridgeBoard(*host, *broker);
        if (web)
            host->add(web->serve(host->executor()));
        supervisor.add(std::move(host));
        if (bridgeFailure) {
            supervisor.stopAll(closed);
            return fail(kBoardFailure, *bridgeFailure);
        }
    }
    if (command.allBoards)
        supervisor.look();
    else if (supervisor.hosts().empty())
        return fail(kBoardFailure, "no board to serve");
    if (web)
        log("the web page: " + web->pageAddress());
    // Boards are looked at once a second, and at once when udev says a device came or went.
    log(supervisor.watchingUdev() ? "watching udev for boards plugged in or out"
                                  : "no udev: looking for boards plugged in or out once a second");
    int signal = 0;
    while (signal <= 0) {
        timespec wait{0, 100'000'000};
        signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal <= 0)
            supervisor.lookWhenDue();
    }
    supervisor.stopAll(closed);
    return statusAfterSignal(signal);
}

// Gives the board a new serial number, on a board opened here: a board somebody holds is left to
// its holder, which keeps it by its old id.
int setSerial(devices::Registry& registry, const Command& command) {
    const HeldSignals held;
    const std::variant<Target, std::string> found = findTarget(registry, command.boards.front());
    if (const auto* why = std::get_if<std::string>(&found))
        return fail(kBoardFailure, *why);
    const Target& target = std::get<Target>(found);
    if (target.number == 0 ||
        share::ask(target.id, {{QStringLiteral("request"), QStringLiteral("state")}}).kind !=
            share::Answer::Kind::Free)
        return fail(kBoardFailure,
                    nameOf(target) + " is held by another program; stop it to set the serial");
    const std::unique_ptr<devices::RelayDevice> device =
        registry.openChecked(static_cast<std::size_t>(target.number - 1));
    if (!device->isOpen())
        return fail(kBoardFailure, nameOf(target) + " could not be opened: " +
                                       device->readRelays().failure().detail);
    const devices::Result<void> set = device->setSerial(command.serial);
    [[maybe_unused]] const devices::Result<void> closed = device->close();
    if (!set)
        return fail(kBoardFailure, nameOf(target) + ": " + set.failure().detail);
    std::printf("%s now has the serial number %s\n", nameOf(target).c_str(),
                command.serial.c_str());
    return kDone;
}

} // namespace

int runCli(const std::vector<std::string>& arguments) {
    const std::variant<Command, UsageError> parsed = parseCommandLine(arguments);
    if (const auto* error = std::get_if<UsageError>(&parsed)) {
        return fail(kBadInput, error->message + " (tambrook-cli --help shows the usage)");
    }
    const Command& command = std::get<Command>(parsed);
    switch (command.kind) {
    case Command::Kind::Help:
        std::printf("%s", usageText().c_str());
        return kDone;
    case Command::Kind::Version:
        std::printf("tambrook-cli %s\n", TAMBROOK_VERSION);
        return kDone;
    default:
        break;
    }
    devices::ConfiguredRegistry configured = devices::makeConfiguredRegistry(command.named);
    if (configured.refused)
        return fail(kBadInput, configured.refused->message);
    const std::unique_ptr<devices::Registry> registry = std::move(configured.registry);
    switch (command.kind) {
    case Command::Kind::List:
        return listBoards(*registry);
    case Command::Kind::Play:
        return playProgram(*registry, command);
    case Command::Kind::Pulse:
        return pulseRelays(*registry, command);
    case Command::Kind::Serve:
        return serveBoards(*registry, command);
    case Command::Kind::SetSerial:
        return setSerial(*registry, command);
    default:
        return switchRelays(*registry, command);
    }
}

} // namespace cli
