#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The one road to a relay board: the seven calls of the USB bridge chip's driver. Every call
// returns a status; the program judges an open by the handle it gets back and otherwise looks at a
// status only to notice a board that has gone away. Calls on different boards may come at once
// from different threads, so that a board that hangs holds up only its own callers; calls on one
// handle come one at a time (its model's lock sees to that).
namespace devices::ftdi {

using Handle = std::uintptr_t; // opaque; 0 means no board opened

enum class Status : std::uint32_t {
    Ok = 0,
    InvalidHandle = 1,
    DeviceNotFound = 2,
    DeviceNotOpened = 3,
    IoError = 4,
};

inline bool succeeded(Status status) {
    return status == Status::Ok;
}

// What tells one board apart from the others, as far as its backend can say.
struct BoardInfo {
    std::string serial;   // the USB serial number; empty when it has none
    std::string portPath; // the USB port path ("1-1.4"); empty when there is none
    std::string name;     // a backend's own name for it ("sim1"); empty for real boards
};

class Driver {
public:
    virtual ~Driver() = default;

    // Number of attached boards into count (callers set it to 0 first).
    virtual Status countDevices(std::uint32_t& count) = 0;
    // Opens the board at index; on success handle becomes non-zero. On failure handle is left as
    // it was.
    virtual Status openByIndex(std::uint32_t index, Handle& handle) = 0;
    virtual Status setBitMode(Handle handle, std::uint8_t mask, std::uint8_t mode) = 0;
    virtual Status setBaudRate(Handle handle, std::uint32_t rate) = 0;
    virtual Status write(Handle handle, const std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t& written) = 0;
    // The instantaneous level of the eight data pins; a failed read leaves pins unchanged.
    virtual Status readPins(Handle handle, std::uint8_t& pins) = 0;
    virtual Status close(Handle handle) = 0;
    // The board at index as the last count found it; nothing where the backend cannot say.
    virtual BoardInfo describe(std::uint32_t /*index*/) { return {}; }
    // The board behind an opened handle, as describe() told it when it was opened; nothing where
    // the backend cannot say.
    virtual std::optional<BoardInfo> describeOpened(Handle /*handle*/) { return std::nullopt; }
};

} // namespace devices::ftdi
