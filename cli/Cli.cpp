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

// get, set, on and off: one open, at most one read and one write.
int switchRelays(board::Driver& driver, const Command& command) {
    std::uint32_t count = 0;
    driver.countDevices(count);
    if (static_cast<std::uint32_t>(command.board) > count)
        return fail(kBoardFailure, noSuchBoard(command.board, count));
    board::RelayBoard relayBoard(driver);
    if (!relayBoard.open(static_cast<std::uint32_t>(command.board - 1)))
        return fail(kBoardFailure,
                    boardName(command.board) + " could not be opened (in use by another program?)");
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

// play: the board is opened (adopting its pins, writing nothing), the file read as "Open File"
// reads it, and the program started as Start starts it; the sequencer's thread plays it while
// this thread waits for its end, a signal, or a failure.
int playProgram(board::Driver& driver, const Command& command) {
    SleepingPause pause;
    ProgramRows program;
    {
        // The file is read whole, by the same reader and limits as "Open File", before any board
        // is touched.
        model::Model reader(driver, pause);
        if (const std::optional<QString> failure =
                reader.openProgramFile(QString::fromLocal8Bit(command.file.c_str())))
            return fail(kBadInput, failure->toLocal8Bit().toStdString());
        program = reader.takeRows();
    }
    model::Model model(driver, pause);
    std::exception_ptr tickFailure;
    std::size_t rowCount = 0;
    {
        const std::lock_guard lock(model.mutex());
        model.replaceRows({"00000000-0"});
        model.setTimerEnabled(false);
        model.discoverBoards();
        if (static_cast<std::uint32_t>(command.board) > model.state().deviceCount)
            return fail(kBoardFailure, noSuchBoard(command.board, model.state().deviceCount));
        model.chooseBoardEntry(command.board - 1);
        model.openSelectedBoard(); // reads the pins; writes nothing
        if (!model.state().boardFound)
            return fail(kBoardFailure, boardName(command.board) +
                                           " could not be opened (in use by another program?)");
        model.replaceRows(std::move(program));
        model.changeResolution(command.resolution);
        model.setRepeat(command.repeat);
        rowCount = static_cast<std::size_t>(model.rowCount());
    }
    // Signals are taken by this thread alone: the sequencer's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    engine::Sequencer sequencer(model);
    sequencer.setTickObserver([&](std::exception_ptr failure, bool) {
        if (failure && !tickFailure)
            tickFailure = failure;
    });
    {
        const std::lock_guard lock(model.mutex());
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
        const bool signalled = sigtimedwait(&stopSignals, nullptr, &wait) > 0;
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
        if (signalled) {
            model.stopProgram(); // after the current write; the relays keep the current step
            break;
        }
        if (!state.timerEnabled)
            break;
    }
    if (terminal)
        std::printf("\n");
    const std::lock_guard lock(model.mutex());
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
