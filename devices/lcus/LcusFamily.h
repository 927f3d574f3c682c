#pragma once

#include "devices/Family.h"

#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

// LCUS relay boards: four-byte frames per relay (Frame.h), no readback. Two kinds take the same
// frames: the serial kind, a CH340 USB serial chip, and the USB HID kind, 5131:2007.
//
// A CH340 is a general serial chip found on many things besides relay boards, so a serial board
// is never taken from the bus: it is named by configuration (family = lcus, device = its tty,
// relays = 1..8, default 8, baud, default 9600), and listed while its tty is there. The HID kind
// is found by itself, as eight relays.
namespace devices::lcus {

class LcusFamily final : public Family {
public:
    // Whether to look for the HID kind on the bus as well as the configured serial boards.
    explicit LcusFamily(bool findHidBoards = true);

    std::string_view name() const override { return "lcus"; }
    std::vector<DeviceInfo> enumerate() override;
    // Opening writes nothing: every relay is unknown until it is first written.
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    std::unique_ptr<RelayDevice> unopened() override;
    std::vector<std::string> udevSubsystems() const override { return {"tty", "hidraw"}; }
    // Replaces the configured serial boards with these sections' (all or none).
    std::optional<ConfigError> configure(const std::vector<ConfiguredBoard>& sections) override;

private:
    struct SerialBoard {
        std::string id;
        std::string device;
        int relays = 8;
        int baud = 9600;
    };
    struct HidBoard {
        std::string path; // the hidraw node
    };
    struct HidOptions {
        std::string id;
        std::string port;
        int relays = 8;
    };
    using Board = std::variant<SerialBoard, HidBoard>;

    static DeviceInfo infoOf(const SerialBoard& board);
    std::vector<std::pair<HidBoard, DeviceInfo>> hidBoards();
    // What a section gives the HID board in its port.
    void applyOptions(DeviceInfo& info);

    const bool findHidBoards_;
    std::mutex lock_; // the configured boards and the last enumeration
    std::vector<SerialBoard> configured_;
    std::vector<HidOptions> hidOptions_;
    std::vector<std::pair<Board, DeviceInfo>> listed_;
};

} // namespace devices::lcus
