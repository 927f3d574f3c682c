#pragma once

#include "devices/Family.h"
#include "devices/modbus/Board.h"
#include "devices/modbus/ModbusDevice.h"

#include <mutex>
#include <vector>

// Modbus relay boards through libmodbus: RTU on a serial port (an RS485 adapter) and TCP. They do
// not say what they are, so only configured boards are reached.
namespace devices::modbus {

class ModbusFamily final : public Family {
public:
    explicit ModbusFamily(Timing timing = {});

    std::string_view name() const override { return "modbus"; }
    // The configured boards, each TCP board and each RTU board whose serial port is there.
    std::vector<DeviceInfo> enumerate() override;
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    std::unique_ptr<RelayDevice> unopened() override;
    // An RS485 adapter is a USB serial port: its coming and going is a tty's.
    std::vector<std::string> udevSubsystems() const override { return {"tty"}; }
    std::optional<ConfigError> configure(const std::vector<ConfiguredBoard>& sections) override;

private:
    const Timing timing_;
    std::mutex lock_; // the boards and the last enumeration
    std::vector<Board> boards_;
    std::vector<Board> listed_;
};

} // namespace devices::modbus
