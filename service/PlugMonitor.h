#pragma once

#include <memory>
#include <string>
#include <vector>

// Tells a holder that a USB device was plugged in or pulled out, so that it looks at its boards
// at once instead of at its next once-a-second look. Uses udev's monitor; where there is no udev
// (a container, a test bus without it) it never reports anything and the looks stay.
namespace service {

class PlugMonitor {
public:
    // Watches the udev subsystems given ("usb", "hidraw", "tty"); none: it watches nothing.
    explicit PlugMonitor(const std::vector<std::string>& subsystems);
    ~PlugMonitor();
    PlugMonitor(const PlugMonitor&) = delete;
    PlugMonitor& operator=(const PlugMonitor&) = delete;

    // Whether udev's monitor is there to watch.
    bool watching() const;
    // Whether a device came or went since the last call; never waits.
    bool changed();

private:
    struct Udev;
    std::unique_ptr<Udev> udev_;
};

} // namespace service
