#pragma once

#include "devices/lcus/Link.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

struct hid_device_;

namespace devices::lcus {

// An LCUS board of the USB HID kind (5131:2007): the frame goes out as an output report without
// a report id, on the board's interrupt OUT endpoint, through hidapi's hidraw backend.
//
// A hidraw write cannot be given up on: it returns when the endpoint takes the report or the
// kernel's own timeout (seconds) ends it. So the writes run on a thread of the link's, and a
// frame not taken within the limit fails the send while its write goes on; the next send waits
// for it within its own limit. A link let go while a write hangs leaves that thread to close the
// device when the write returns.
class HidLink final : public Link {
public:
    // The hidraw node opened, or why not.
    static Result<std::unique_ptr<HidLink>> open(const std::string& path,
                                                 std::chrono::milliseconds limit);
    // Takes an open hidapi device as its own.
    HidLink(hid_device_* device, std::string path, std::chrono::milliseconds limit);
    ~HidLink() override;
    HidLink(const HidLink&) = delete;
    HidLink& operator=(const HidLink&) = delete;

    Result<void> send(const Frame& frame) override;

private:
    struct Shared;
    static void writeReports(const std::shared_ptr<Shared>& shared);

    const std::shared_ptr<Shared> shared_;
    const std::string path_;
    const std::chrono::milliseconds limit_;
    std::thread writer_;
};

} // namespace devices::lcus
