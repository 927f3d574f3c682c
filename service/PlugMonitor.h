#pragma once

#include <memory>

// Tells a holder that a USB device was plugged in or pulled out, so that it looks at its boards
// at once instead of at its next once-a-second look. Uses udev's monitor; where there is no udev
// (a container, a test bus without it) it never reports anything and the looks stay.
namespace service {

class PlugMonitor {
public:
    PlugMonitor();
    ~PlugMonitor();
    PlugMonitor(const PlugMonitor&) = delete;
    PlugMonitor& operator=(const PlugMonitor&) = delete;

    // Whether udev's monitor is there to watch.
    bool watching() const;
    // Whether a USB device came or went since the last call; never waits.
    bool changed();

private:
    struct Udev;
    std::unique_ptr<Udev> udev_;
};

} // namespace service
