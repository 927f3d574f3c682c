#pragma once

// A driver that records every call into a log shared with the pause, so a test can assert the
// exact order of board traffic and pauses, and the registries that give a model its boards: over
// that driver, or simulated. Plain C++: the model's tests use it without windows.

#include "devices/Registry.h"
#include "devices/ftdi/Driver.h"
#include "devices/ftdi/FtdiFamily.h"
#include "devices/sim/SimulatedFamily.h"
#include "devices/testing/Faults.h"
#include "devices/testing/Tracing.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using Log = std::vector<std::string>;

inline std::string hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

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

    devices::ftdi::Status countDevices(std::uint32_t& count) override {
        count = devices;
        log_.push_back("count " + std::to_string(devices));
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status openByIndex(std::uint32_t index, devices::ftdi::Handle& handle) override {
        log_.push_back("open " + std::to_string(index));
        if (!openSucceeds)
            return devices::ftdi::Status::DeviceNotFound;
        handle = 0x1000 + index;
        lastOpened = handle;
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status setBitMode(devices::ftdi::Handle, std::uint8_t mask,
                                     std::uint8_t mode) override {
        log_.push_back("setbitmode " + hex2(mask) + " " + std::to_string(mode));
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status setBaudRate(devices::ftdi::Handle, std::uint32_t rate) override {
        log_.push_back("setrate " + std::to_string(rate));
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status write(devices::ftdi::Handle handle, const std::uint8_t* buffer,
                                std::uint32_t length, std::uint32_t& written) override {
        log_.push_back("write " + hex2(buffer[0]));
        writes.push_back(buffer[0]);
        if (handle == 0 || writesFail)
            return devices::ftdi::Status::IoError;
        pins = buffer[length - 1];
        written = length;
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status readPins(devices::ftdi::Handle handle, std::uint8_t& out) override {
        log_.push_back("read");
        if (handle == 0 || readsFail)
            return devices::ftdi::Status::IoError;
        if (!scriptedReads.empty()) {
            out = scriptedReads.front();
            scriptedReads.pop_front();
        } else {
            out = pins;
        }
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::Status close(devices::ftdi::Handle handle) override {
        log_.push_back("close " + std::to_string(handle));
        return devices::ftdi::Status::Ok;
    }
    devices::ftdi::BoardInfo describe(std::uint32_t index) override {
        return index < boards.size() ? boards[index] : devices::ftdi::BoardInfo{};
    }
    std::optional<devices::ftdi::BoardInfo> describeOpened(devices::ftdi::Handle handle) override {
        const std::size_t index = handle - 0x1000;
        if (handle < 0x1000 || index >= boards.size())
            return std::nullopt;
        return boards[index];
    }

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
    explicit FtdiBoards(devices::ftdi::Driver& driver)
        : registry(familyList(std::make_unique<devices::ftdi::FtdiFamily>(driver))) {}

    devices::Registry registry;
};

inline std::unique_ptr<devices::sim::SimulatedFamily> simulatedBoards(std::uint32_t boards,
                                                                      std::string stateFile = {}) {
    devices::sim::SimulatedOptions options;
    options.boards = boards;
    options.stateFile = std::move(stateFile);
    return std::make_unique<devices::sim::SimulatedFamily>(std::move(options));
}

// Simulated boards as a model reaches them, wrapped as the environment wraps them: the faults
// inside (when there are any), the trace outside, where a test can listen to every call.
class SimulatedBoards {
public:
    explicit SimulatedBoards(std::uint32_t boards, devices::testing::Faults faults = {})
        : SimulatedBoards(simulatedBoards(boards), std::move(faults)) {}

    devices::Registry& registry() { return registry_; }
    // What each board (from 0) has latched, and a way to set it as its relays would be found.
    devices::sim::SimulatedFamily& boards() const { return boards_; }
    void setTraceSink(std::function<void(const devices::testing::TraceRecord&)> sink) {
        trace_.setSink(std::move(sink));
    }

private:
    SimulatedBoards(std::unique_ptr<devices::sim::SimulatedFamily> family,
                    devices::testing::Faults faults)
        : boards_(*family)
        , traced_(traced(std::move(family), std::move(faults)))
        , trace_(*traced_)
        , registry_(familyList(std::move(traced_))) {}

    static std::unique_ptr<devices::testing::TracingFamily>
    traced(std::unique_ptr<devices::Family> family, devices::testing::Faults faults) {
        if (faults.any())
            family = std::make_unique<devices::testing::FaultyFamily>(std::move(family),
                                                                      std::move(faults));
        return std::make_unique<devices::testing::TracingFamily>(std::move(family), std::string(),
                                                                 nullptr);
    }

    devices::sim::SimulatedFamily& boards_;
    std::unique_ptr<devices::testing::TracingFamily> traced_; // until the registry holds it
    devices::testing::TracingFamily& trace_;
    devices::Registry registry_;
};
