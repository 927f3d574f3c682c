#include "support/Boards.h"

#include <cstdio>

namespace ftdi = devices::ftdi;

std::string hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

ftdi::Status RecordingDriver::countDevices(std::uint32_t& count) {
    count = devices;
    log_.push_back("count " + std::to_string(devices));
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::openByIndex(std::uint32_t index, ftdi::Handle& handle) {
    log_.push_back("open " + std::to_string(index));
    if (!openSucceeds)
        return ftdi::Status::DeviceNotFound;
    handle = 0x1000 + index;
    lastOpened = handle;
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::setBitMode(ftdi::Handle, std::uint8_t mask, std::uint8_t mode) {
    log_.push_back("setbitmode " + hex2(mask) + " " + std::to_string(mode));
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::setBaudRate(ftdi::Handle, std::uint32_t rate) {
    log_.push_back("setrate " + std::to_string(rate));
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::write(ftdi::Handle handle, const std::uint8_t* buffer,
                                    std::uint32_t length, std::uint32_t& written) {
    log_.push_back("write " + hex2(buffer[0]));
    writes.push_back(buffer[0]);
    if (handle == 0 || writesFail)
        return ftdi::Status::IoError;
    pins = buffer[length - 1];
    written = length;
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::readPins(ftdi::Handle handle, std::uint8_t& out) {
    log_.push_back("read");
    if (handle == 0 || readsFail)
        return ftdi::Status::IoError;
    if (!scriptedReads.empty()) {
        out = scriptedReads.front();
        scriptedReads.pop_front();
    } else {
        out = pins;
    }
    return ftdi::Status::Ok;
}

ftdi::Status RecordingDriver::close(ftdi::Handle handle) {
    log_.push_back("close " + std::to_string(handle));
    return ftdi::Status::Ok;
}

ftdi::BoardInfo RecordingDriver::describe(std::uint32_t index) {
    return index < boards.size() ? boards[index] : ftdi::BoardInfo{};
}

std::optional<ftdi::BoardInfo> RecordingDriver::describeOpened(ftdi::Handle handle) {
    const std::size_t index = handle - 0x1000;
    if (handle < 0x1000 || index >= boards.size())
        return std::nullopt;
    return boards[index];
}

FtdiBoards::FtdiBoards(ftdi::Driver& driver, devices::OptionsById options)
    : registry(familyList(std::make_unique<ftdi::FtdiFamily>(driver)), std::move(options)) {}

std::unique_ptr<devices::sim::SimulatedFamily> simulatedBoards(std::uint32_t boards,
                                                               std::string stateFile) {
    devices::sim::SimulatedOptions options;
    options.boards = boards;
    options.stateFile = std::move(stateFile);
    return std::make_unique<devices::sim::SimulatedFamily>(std::move(options));
}

namespace {

std::unique_ptr<devices::testing::TracingFamily> traced(std::unique_ptr<devices::Family> family,
                                                        devices::testing::Faults faults) {
    if (faults.any())
        family =
            std::make_unique<devices::testing::FaultyFamily>(std::move(family), std::move(faults));
    return std::make_unique<devices::testing::TracingFamily>(std::move(family), std::string(),
                                                             nullptr);
}

} // namespace

SimulatedBoards::SimulatedBoards(std::uint32_t boards, devices::testing::Faults faults,
                                 devices::OptionsById options)
    : SimulatedBoards(simulatedBoards(boards), std::move(faults), std::move(options)) {}

SimulatedBoards::SimulatedBoards(std::unique_ptr<devices::sim::SimulatedFamily> family,
                                 devices::testing::Faults faults, devices::OptionsById options)
    : boards_(*family)
    , traced_(traced(std::move(family), std::move(faults)))
    , trace_(*traced_)
    , registry_(familyList(std::move(traced_)), std::move(options)) {}

void SimulatedBoards::setTraceSink(std::function<void(const devices::testing::TraceRecord&)> sink) {
    trace_.setSink(std::move(sink));
}
