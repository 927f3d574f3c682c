#pragma once

// A driver that records every call into a log shared with the pause, so a test can assert the
// exact order of board traffic and pauses. Plain C++: the model's tests use it without windows.

#include "board/Driver.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

using Log = std::vector<std::string>;

inline std::string hex2(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

// A board that latches what is written, as a real one does, unless told otherwise.
class RecordingDriver final : public board::Driver {
public:
    explicit RecordingDriver(Log& log)
        : log_(log) {}

    std::uint32_t devices = 0;
    std::uint8_t pins = 0;
    bool openSucceeds = true;
    board::Handle lastOpened = 0; // the handle the last successful open gave out
    bool writesFail = false;
    bool readsFail = false;
    std::deque<std::uint8_t> scriptedReads; // consumed before `pins`
    std::vector<std::uint8_t> writes;

    board::Status countDevices(std::uint32_t& count) override {
        count = devices;
        log_.push_back("count " + std::to_string(devices));
        return board::Status::Ok;
    }
    board::Status openByIndex(std::uint32_t index, board::Handle& handle) override {
        log_.push_back("open " + std::to_string(index));
        if (!openSucceeds)
            return board::Status::DeviceNotFound;
        handle = 0x1000 + index;
        lastOpened = handle;
        return board::Status::Ok;
    }
    board::Status setBitMode(board::Handle, std::uint8_t mask, std::uint8_t mode) override {
        log_.push_back("setbitmode " + hex2(mask) + " " + std::to_string(mode));
        return board::Status::Ok;
    }
    board::Status setBaudRate(board::Handle, std::uint32_t rate) override {
        log_.push_back("setrate " + std::to_string(rate));
        return board::Status::Ok;
    }
    board::Status write(board::Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                        std::uint32_t& written) override {
        log_.push_back("write " + hex2(buffer[0]));
        writes.push_back(buffer[0]);
        if (handle == 0 || writesFail)
            return board::Status::IoError;
        pins = buffer[length - 1];
        written = length;
        return board::Status::Ok;
    }
    board::Status readPins(board::Handle handle, std::uint8_t& out) override {
        log_.push_back("read");
        if (handle == 0 || readsFail)
            return board::Status::IoError;
        if (!scriptedReads.empty()) {
            out = scriptedReads.front();
            scriptedReads.pop_front();
        } else {
            out = pins;
        }
        return board::Status::Ok;
    }
    board::Status close(board::Handle handle) override {
        log_.push_back("close " + std::to_string(handle));
        return board::Status::Ok;
    }

private:
    Log& log_;
};
