#include "cli/Cli.h"

#include "board/DriverFactory.h"
#include "cli/CommandLine.h"
#include "engine/Sequencer.h"
#include "model/Failure.h"
#include "model/Model.h"
#include "model/ProgramRows.h"
#include "model/StepText.h"

#include <QString>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <unistd.h>

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

std::string noSuchBoard(int board, std::uint32_t count) {
    return "no " + boardName(board) + " (" + std::to_string(count) +
           (count == 1 ? " board" : " boards") + " found)";
}

int listBoards(board::Driver& driver) {
    std::uint32_t count = 0;
    driver.countDevices(count);
    for (std::uint32_t n = 1; n <= count; ++n)
        std::printf("Relay Board %u\n", n);
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
std::optional<std::string> openBoard(model::Model& model, int boardNumber, bool adoptPins) {
    const model::Opening opening = model.openBoard(boardNumber, adoptPins);
    if (opening == model::Opening::Opened)
        return std::nullopt;
    return whyNotOpened(opening, boardNumber, model.snapshot()->deviceCount);
}

// get, set, on and off: one open, at most one read and one write.
int switchRelays(board::Driver& driver, const Command& command) {
    const HeldSignals held;
    SleepingPause pause;
    model::Model model(driver, pause);
    if (const std::optional<std::string> why = openBoard(model, command.board, false))
        return fail(kBoardFailure, *why);
    std::optional<std::uint8_t> byte = std::uint8_t{0};
    if (command.kind != Command::Kind::Set)
        byte = model.readRelays();
    int status = kDone;
    if (!byte) {
        status = fail(kBoardFailure, "could not read the relays of " + boardName(command.board));
    } else if (command.kind == Command::Kind::Get) {
        std::printf("%s\n", steps::patternOfByte(*byte).c_str());
    } else {
        if (command.kind == Command::Kind::Set)
            byte = steps::relayByteOfRow(command.pattern);
        for (const int relay : command.relays)
            byte = board::withRelay(*byte, relay, command.kind == Command::Kind::On);
        if (!model.writeRelays(*byte))
            status =
                fail(kBoardFailure, "could not switch the relays of " + boardName(command.board));
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

// play: the file is read as "Open File" reads it and every step checked before any board is
// touched; then the board is opened (adopting its pins, writing nothing) and the program started
// as Start starts it. The sequencer's thread plays it while this thread waits for its end, a
// signal, or a failure.
int playProgram(board::Driver& driver, const Command& command) {
    ProgramRows program;
    if (const std::optional<QString> failure = model::readProgramFile(command.file, program))
        return fail(kBadInput, failure->toLocal8Bit().toStdString());
    if (program.empty())
        program.append("00000000-0");
    if (const std::optional<model::UnplayableStep> bad =
            model::findUnplayableStep(program, command.repeat))
        return fail(kBadInput, "line " + std::to_string(bad->row + 1) + " of " + command.file +
                                   " cannot be played: " + messageOf(bad->failure));
    SleepingPause pause;
    model::Model model(driver, pause);
    const std::size_t rowCount = program.size();
    model.loadProgram(programRows({"00000000-0"}));
    model.stopProgram(); // the timer is off until Start, as after the window's start-up
    // The pins are read and adopted; nothing is written.
    if (const std::optional<std::string> why = openBoard(model, command.board, true))
        return fail(kBoardFailure, *why);
    model.loadProgram(std::move(program));
    model.changeResolution(command.resolution);
    model.setRepeat(command.repeat);
    // Signals are taken by this thread alone: the sequencer's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : kStopSignals)
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::mutex tickFailureLock;
    std::exception_ptr tickFailure; // under tickFailureLock
    engine::Sequencer sequencer(model);
    sequencer.setTickObserver([&](std::exception_ptr failure, bool) {
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
        const model::Model::Lock lock = model.lockForAction();
        const std::shared_ptr<const model::Snapshot> look = model.snapshot();
        const model::Snapshot& state = *look;
        std::exception_ptr failure;
        {
            const std::lock_guard failureLock(tickFailureLock);
            failure = tickFailure;
        }
        if (terminal &&
            std::chrono::steady_clock::now() - shown >= std::chrono::milliseconds(100)) {
            shown = std::chrono::steady_clock::now();
            std::printf("\rstep %d of %zu, %.1f s ", state.currentRow + 1, rowCount,
                        secondsSince(start));
            std::fflush(stdout);
        }
        if (!state.boardFound) {
            model.stopProgram();
            status = fail(kBoardFailure, boardName(command.board) + " stopped answering");
            break;
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
        if (!state.timerEnabled)
            break;
    }
    if (terminal)
        std::printf("\n");
    model.closeBoard();
    return status;
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
    const std::unique_ptr<board::Driver> driver = board::makeDriverFromEnvironment();
    switch (command.kind) {
    case Command::Kind::List:
        return listBoards(*driver);
    case Command::Kind::Play:
        return playProgram(*driver, command);
    default:
        return switchRelays(*driver, command);
    }
}

} // namespace cli
