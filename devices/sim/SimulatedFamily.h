#pragma once

#include "devices/Family.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Boards that are not there: each latches the byte written to it and reads back what it latched,
// as a relay board in bit-bang mode does, so that the program can be tried, demonstrated and
// tested without hardware. Opening changes no relay. They may be given fewer relays, and be made
// boards that cannot read back.
namespace devices::sim {

using WarningSink = std::function<void(const std::string& message)>;

struct SimulatedOptions {
    std::uint32_t boards = 1;
    // Keeps board 1's relays across runs (two hex digits and a newline), and holds an opened
    // board against other processes with a lock beside it, as a real board is held; empty: none.
    std::string stateFile;
    WarningSink warn; // where a state file that cannot be used is reported; none: dropped
    // Each board's relays (1 to 8): the bits above them are never latched and read as off.
    int relays = kMaxRelays;
    // false: boards that cannot read back, as the serial LCUS boards: each latches what it is
    // told but answers only with what it was told since it was opened, the rest unknown.
    bool readsBack = true;
};

class SimulatedFamily final : public Family {
public:
    explicit SimulatedFamily(SimulatedOptions options);
    ~SimulatedFamily() override;

    std::string_view name() const override { return "sim"; }
    std::vector<DeviceInfo> enumerate() override;
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    std::unique_ptr<RelayDevice> unopened() override;
    void pulledOut(std::size_t index) override;

    // What board `index` (from 0) has latched, and a way to set it as its relays would be found.
    std::uint8_t relays(std::uint32_t index) const;
    void setRelays(std::uint32_t index, std::uint8_t relays);

private:
    class Device;
    struct Board {
        std::uint8_t relays = 0;
        bool open = false;
        std::uint64_t plugs = 0; // counts the times it was pulled out; a device of before is dead
        int holdFd = -1;         // the lock that holds it against other processes, if any
    };

    DeviceInfo infoOf(std::uint32_t index) const;
    std::uint8_t relayMask() const;
    bool hold(std::uint32_t index);
    void release(std::uint32_t index);
    void warn(const std::string& message) const;
    void checkStateFile();
    void loadState();
    // Board 1's relays into the file, replaced whole, never torn.
    void saveState();

    SimulatedOptions options_;
    mutable std::mutex lock_; // the boards
    std::vector<Board> boards_;
    bool stateFailureSaid_ = false; // a state file that cannot be written is reported once
};

} // namespace devices::sim
