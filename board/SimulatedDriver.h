#pragma once

#include "board/Driver.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace board {

// Ways a simulated board can be told to misbehave, to see what the program does when a real one
// is unplugged or flaky.
struct SimulatedFaults {
    std::optional<std::uint64_t> unplugAfterCalls; // every board vanishes after this many calls
    std::optional<std::uint64_t> wedgeAfterCalls;  // then every call hangs, and fails
    std::chrono::microseconds latency{0};          // every call takes this long, as USB does
    bool failWrites = false;
    bool failReads = false;
    std::vector<std::string> unknown; // words that name no fault, or values out of range
};

// How long one call of a wedged board hangs before it fails: the USB timeout of real boards.
inline constexpr std::chrono::milliseconds kWedgedCallTime{300};

// Parses "unplug-after=N,wedge-after=N,latency=MS,fail-writes,fail-reads" (any subset, any
// order; MS may have a fraction, "1.2"). Unknown words and values out of range are collected
// rather than refused, so that a typo never stops the program from starting.
SimulatedFaults parseSimulatedFaults(const std::string& text);

// Where the simulated boards report a setting they cannot use (stderr in the program).
using WarningSink = std::function<void(const std::string& message)>;

// One driver call as the trace records it.
struct TraceRecord {
    std::int64_t microseconds; // from the driver's creation to the call's start
    std::string op;            // count, open, setbitmode, setrate, write, read, close
    std::string values;        // arguments and returned results, space separated
    bool ok;
};

std::string formatTraceLine(const TraceRecord& record);

struct SimulatedBoardOptions {
    std::uint32_t boards = 1;
    std::string stateFile; // keeps board 1's pins across runs; empty = none
    std::string traceFile; // one line per call appended; empty = none
    SimulatedFaults faults;
    WarningSink warn; // none: warnings are dropped
    // Lists the numbers of the boards that are unplugged now ("2", "1 3"), read at every call, so
    // that a test can pull a board out and put it back; no file or an empty one: all are there.
    std::string unpluggedFile;
    // Lists the numbers of the boards that are wedged now, read at every call in the same way:
    // every call on such a board (opening and closing it too) hangs and fails, as a board that
    // stopped answering on the bus does. The others answer meanwhile.
    std::string wedgedFile;
};

// Boards that latch every written byte on their pins and read back what they latched, as a relay
// board in bit-bang mode does. Opening does not change the pins. Calls on different boards may
// come at once from different threads; the time a call takes (latency, a wedge) passes without
// holding up the others.
class SimulatedDriver final : public Driver {
public:
    explicit SimulatedDriver(SimulatedBoardOptions options);
    ~SimulatedDriver() override;

    Status countDevices(std::uint32_t& count) override;
    Status openByIndex(std::uint32_t index, Handle& handle) override;
    Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) override;
    Status setBaudRate(Handle handle, std::uint32_t rate) override;
    Status write(Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t& written) override;
    Status readPins(Handle handle, std::uint8_t& pins) override;
    Status close(Handle handle) override;
    DeviceInfo describe(std::uint32_t index) override;
    std::optional<DeviceInfo> describeOpened(Handle handle) override;

    // Receives every call as it happens, in addition to the trace file.
    void setTraceSink(std::function<void(const TraceRecord&)> sink);
    std::uint8_t pins(std::uint32_t index) const;
    void setPins(std::uint32_t index, std::uint8_t pins);

private:
    struct Board {
        std::uint8_t pins = 0;
        bool open = false;
        bool present = true;
        int holdFd = -1; // the lock that holds it against other processes, if any
    };
    using Clock = std::chrono::steady_clock;
    // A call under way: when it started and whether the boards (or the one it is for) fail it.
    struct Call {
        Clock::time_point start;
        bool fails = false;
    };
    // Counts a call (for the board with this index, if it is for one) and takes the time it
    // costs, without the lock; then takes the lock for the call's own work.
    Call beginCall(const std::function<std::optional<std::uint32_t>()>& board,
                   std::unique_lock<std::mutex>& lock);
    // Takes the boards named in the unplugged file off the bus and puts the others back. A board
    // pulled out loses its handle and, without power, its relays.
    void checkUnpluggedFile();
    // The boards whose numbers a file lists, by index; none where it cannot be read.
    std::vector<bool> listedBoards(const std::string& file) const;
    bool isWedged(std::uint32_t board) const;
    // Whether a call on this board (none: on the bus) hangs now, as a wedged board's do.
    bool hangs(std::optional<std::uint32_t> board) const;
    // Lets the other boards' calls through while this one takes its time.
    void takeTime(std::unique_lock<std::mutex>& lock, std::chrono::microseconds cost);
    // The board at a device index: the index counts the boards that are there.
    std::optional<std::uint32_t> boardAtIndex(std::uint32_t index) const;
    // With a state file, an opened board is held as a real one is: a lock beside that file
    // keeps other processes from opening it until it is closed.
    bool hold(std::uint32_t index);
    void release(Board& board);

    Board* openBoard(Handle handle);
    static std::optional<std::uint32_t> boardOfHandle(Handle handle);
    Status record(const Call& call, const char* op, std::string values, Status status);
    void warn(const std::string& message) const;
    void checkStateFile();
    void openTraceFile();
    void loadState();
    void saveState();

    mutable std::mutex mutex_; // everything below, never held while a call takes its time
    SimulatedBoardOptions options_;
    std::vector<Board> boards_;
    std::uint64_t calls_ = 0;
    const Clock::time_point start_ = Clock::now();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> trace_{nullptr, &std::fclose};
    std::function<void(const TraceRecord&)> sink_;
    bool saveFailing_ = false; // the last save of the state file failed, and that was told
};

} // namespace board
