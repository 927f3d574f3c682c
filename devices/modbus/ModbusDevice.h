#pragma once

#include "devices/RelayDevice.h"
#include "devices/modbus/Board.h"

#include <chrono>
#include <memory>

struct _modbus;

namespace devices::modbus {

// How long a board has to answer. A board at 9600 baud answers a request for eight coils in
// about 20 ms of wire time; 300 ms leaves room for a slow firmware and still stops a run quickly
// on a board that went silent.
struct Timing {
    std::chrono::milliseconds response{300};
    std::chrono::milliseconds byteGap{100};     // between bytes of one answer
    std::chrono::milliseconds hostLookup{2000}; // tcp://NAME
    std::chrono::milliseconds tcpConnect{2000};
};

// One opened Modbus board: coils 0..relays-1, read with function 01 and written all at once with
// function 0F.
class ModbusDevice final : public RelayDevice {
public:
    // Opens the port or connects, touching no coil. A serial port is held against other
    // processes while it is open here.
    static std::unique_ptr<ModbusDevice> open(const Board& board, const Timing& timing);
    // Use open(): this one leaves the board unopened, every call failing with why.
    ModbusDevice(Board board, Timing timing, Failure why);
    ~ModbusDevice() override;

    DeviceInfo info() const override;
    bool isOpen() const override { return context_ != nullptr; }
    Result<std::uint8_t> readRelays() override;
    Result<void> writeRelays(std::uint8_t relays) override;
    Result<void> close() override;

private:
    Result<void> connect();
    // A serial port's path, or one numeric address of the host.
    Result<void> connectAt(const std::string& address);
    Result<void> reconnect();
    template <typename Request> Result<void> request(const char* what, Request&& send);
    Failure failureOf(int error, const char* what) const;
    bool lostConnection(int error) const;
    void letGo();

    const Board board_;
    const Timing timing_;
    _modbus* context_ = nullptr;
    Failure why_; // what a call on a board not open says
};

DeviceInfo infoOf(const Board& board);

} // namespace devices::modbus
