#include "cli/Cli.h"

#include "board/DriverFactory.h"
#include "board/RelayBoard.h"
#include "cli/CommandLine.h"
#include "engine/Sequencer.h"
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

// Why a board that was found could not be opened, as far as can be told.
std::string whyNotOpened(board::Driver& driver, const board::RelayBoard& relayBoard,
                         int boardNumber) {
    if (relayBoard.isOpen())
        return boardName(boardNumber) + " stopped answering while it was being opened";
    std::uint32_t count = 0;
    driver.countDevices(count);
    if (static_cast<std::uint32_t>(boardNumber) > count)
        return boardName(boardNumber) + " went away while it was being opened";
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

// get, set, on and off: one open, at most one read and one write.
int switchRelays(board::Driver& driver, const Command& command) {
    const HeldSignals held;
    std::uint32_t count = 0;
    driver.countDevices(count);
    if (static_cast<std::uint32_t>(command.board) > count)
        return fail(kBoardFailure, noSuchBoard(command.board, count));
    board::RelayBoard relayBoard(driver);
    if (!relayBoard.open(static_cast<std::uint32_t>(command.board - 1)))
        return fail(kBoardFailure, whyNotOpened(driver, relayBoard, command.board));
    std::uint8_t byte = 0;
    int status = kDone;
    if (command.kind != Command::Kind::Set && !board::succeeded(relayBoard.readPins(byte))) {
        status = fail(kBoardFailure, "could not read the relays of " + boardName(command.board));
    } else if (command.kind == Command::Kind::Get) {
        std::printf("%s\n", steps::patternOfByte(byte).c_str());
    } else {
        if (command.kind == Command::Kind::Set)
            byte = steps::relayByteOfRow(command.pattern);
        for (const int relay : command.relays) {
            const std::uint8_t mask = board::relayEntry(relay).mask;
            byte = command.kind == Command::Kind::On ? byte | mask
                                                     : byte & static_cast<std::uint8_t>(~mask);
        }
        std::uint32_t written = 0;
        if (!board::succeeded(relayBoard.write(byte, written)))
            status =
                fail(kBoardFailure, "could not switch the relays of " + boardName(command.board));
    }
    relayBoard.close();
    std::fflush(stdout); // before a held signal can end the process
    return status;
}

std::string messageOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
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
    std::exception_ptr tickFailure;
    std::size_t rowCount = 0;
    {
        const model::Model::Lock lock = model.lockForAction();
        model.replaceRows({"00000000-0"});
        model.setTimerEnabled(false);
        model.discoverBoards();
        if (static_cast<std::uint32_t>(command.board) > model.state().deviceCount)
            return fail(kBoardFailure, noSuchBoard(command.board, model.state().deviceCount));
        model.chooseBoardEntry(command.board - 1);
        model.openSelectedBoard(); // reads the pins; writes nothing
        if (!model.state().boardFound) {
            const std::string why = whyNotOpened(driver, model.board(), command.board);
            model.board().close();
            return fail(kBoardFailure, why);
        }
        model.replaceRows(std::move(program));
        model.changeResolution(command.resolution);
        model.setRepeat(command.repeat);
        rowCount = static_cast<std::size_t>(model.rowCount());
    }
    // Signals are taken by this thread alone: the sequencer's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (const int signal : kStopSignals)
        sigaddset(&stopSignals, signal);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    engine::Sequencer sequencer(model);
    sequencer.setTickObserver([&](std::exception_ptr failure, bool) {
        if (failure && !tickFailure)
            tickFailure = failure;
    });
    {
        const model::Model::Lock lock = model.lockForAction();
        try {
            model.startOrStop(); // applies the first step: the first write
        } catch (...) {
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
        const model::State& state = model.state();
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
        if (tickFailure) {
            status =
                fail(kBadInput, "step " + std::to_string(state.currentRow + 1) + " of " +
                                    command.file + " cannot be played: " + messageOf(tickFailure));
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
    const model::Model::Lock lock = model.lockForAction();
    model.board().close();
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
