#pragma once

#include "devices/lcus/Link.h"

#include <memory>
#include <string>

struct hid_device_;

namespace devices::lcus {

// An LCUS board of the USB HID kind (5131:2007): the frame goes out as an output report without
// a report id, on the board's interrupt OUT endpoint, through hidapi's hidraw backend. The
// kernel bounds how long the endpoint may take it.
class HidLink final : public Link {
public:
    // The hidraw node opened, or why not.
    static Result<std::unique_ptr<HidLink>> open(const std::string& path);
    // Takes an open hidapi device as its own.
    HidLink(hid_device_* device, std::string path);
    ~HidLink() override;
    HidLink(const HidLink&) = delete;
    HidLink& operator=(const HidLink&) = delete;

    Result<void> send(const Frame& frame) override;

private:
    hid_device_* const device_;
    const std::string path_;
};

} // namespace devices::lcus
