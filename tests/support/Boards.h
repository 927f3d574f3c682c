#pragma once

// The boards a test gives a model: a driver that records every call into a log shared with the
// pause, so a test can assert the exact order of board traffic and pauses, and registries over
// that driver or over simulated boards. Plain C++: the model's suites use it without windows.

#include "devices/Registry.h"
#include "devices/ftdi/Driver.h"
#include "devices/ftdi/FtdiFamily.h"
#include "devices/sim/SimulatedFamily.h"
#include "devices/testing/Faults.h"
#include "devices/testing/Tracing.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Log = std::vector<std::string>;

// Two lower-case hex digits, as the log and the traces write a byte.
std::string hex2(std::uint8_t value);

// A board that latches what is written, as a real one does, unless told otherwise.
class RecordingDriver final : public devices::ftdi::Driver {
public:
    explicit RecordingDriver(Log& log)
        : log_(log) {}

    std::uint32_t devices = 0;
    std::uint8_t pins = 0;
    bool openSucceeds = true;
    devices::ftdi::Handle lastOpened = 0; // the handle the last successful open gave out
    bool writesFail = false;
    bool readsFail = false;
    std::deque<std::uint8_t> scriptedReads; // consumed before `pins`
    std::vector<std::uint8_t> writes;
    // What the bus tells of the board at each index, and of a handle by the index it opened;
    // empty: nothing, as a backend that cannot say.
    std::vector<devices::ftdi::BoardInfo> boards;

    devices::ftdi::Status countDevices(std::uint32_t& count) override;
    devices::ftdi::Status openByIndex(std::uint32_t index, devices::ftdi::Handle& handle) override;
    devices::ftdi::Status setBitMode(devices::ftdi::Handle, std::uint8_t mask,
                                     std::uint8_t mode) override;
    devices::ftdi::Status setBaudRate(devices::ftdi::Handle, std::uint32_t rate) override;
    devices::ftdi::Status write(devices::ftdi::Handle handle, const std::uint8_t* buffer,
                                std::uint32_t length, std::uint32_t& written) override;
    devices::ftdi::Status readPins(devices::ftdi::Handle handle, std::uint8_t& out) override;
    devices::ftdi::Status close(devices::ftdi::Handle handle) override;
    devices::ftdi::BoardInfo describe(std::uint32_t index) override;
    std::optional<devices::ftdi::BoardInfo> describeOpened(devices::ftdi::Handle handle) override;

private:
    Log& log_;
};

// The families in one list, in this order.
template <typename... Families>
std::vector<std::unique_ptr<devices::Family>> familyList(std::unique_ptr<Families>... families) {
    std::vector<std::unique_ptr<devices::Family>> list;
    (list.push_back(std::move(families)), ...);
    return list;
}

// The boards a model reaches through a driver of the test's: one FTDI family over it, so that
// every open, set-up, read and write goes to the driver as the program makes it.
struct FtdiBoards {
    explicit FtdiBoards(devices::ftdi::Driver& driver, devices::OptionsById options = {});

    devices::Registry registry;
};

std::unique_ptr<devices::sim::SimulatedFamily> simulatedBoards(std::uint32_t boards,
                                                               std::string stateFile = {});

// Simulated boards as a model reaches them, wrapped as the environment wraps them: the faults
// inside (when there are any), the trace outside, where a test can listen to every call.
class SimulatedBoards {
public:
    // The options as boards.conf would give them, by id ("sim1").
    explicit SimulatedBoards(std::uint32_t boards, devices::testing::Faults faults = {},
                             devices::OptionsById options = {});

    devices::Registry& registry() { return registry_; }
    // What each board (from 0) has latched, and a way to set it as its relays would be found.
    devices::sim::SimulatedFamily& boards() const { return boards_; }
    void setTraceSink(std::function<void(const devices::testing::TraceRecord&)> sink);

private:
    SimulatedBoards(std::unique_ptr<devices::sim::SimulatedFamily> family,
                    devices::testing::Faults faults, devices::OptionsById options);

    devices::sim::SimulatedFamily& boards_;
    std::unique_ptr<devices::testing::TracingFamily> traced_; // until the registry holds it
    devices::testing::TracingFamily& trace_;
    devices::Registry registry_;
};
