#pragma once

#include "devices/Family.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Every call on the boards of a family, one line each, so that what a board received can be read
// afterwards (make demo, the tests, the bench).
namespace devices::testing {

struct TraceRecord {
    std::int64_t microseconds; // from the family's creation to the call's start
    std::string op;            // count, open, read, write, close
    std::string values;        // arguments and returned results, space separated
    bool ok;
};

// "<microseconds> <op> <values> <ok|fail>", the values left out when there are none.
std::string formatTraceLine(const TraceRecord& record);

using WarningSink = std::function<void(const std::string& message)>;

class TracingFamily final : public Family {
public:
    // One line per call appended to traceFile (a regular file; anything else is refused with a
    // warning); empty: none.
    TracingFamily(std::unique_ptr<Family> inner, const std::string& traceFile,
                  const WarningSink& warn);

    std::string_view name() const override { return inner_->name(); }
    std::vector<DeviceInfo> enumerate() override;
    std::unique_ptr<RelayDevice> open(std::size_t index) override;
    std::unique_ptr<RelayDevice> openExpecting(std::size_t index,
                                               const DeviceInfo& expected) override;
    std::unique_ptr<RelayDevice> unopened() override;
    std::vector<std::string> udevSubsystems() const override { return inner_->udevSubsystems(); }
    std::optional<ConfigError> configure(const std::vector<ConfiguredBoard>& sections) override {
        return inner_->configure(sections);
    }
    void pulledOut(std::size_t index) override { inner_->pulledOut(index); }

    // Receives every call as it happens, in addition to the trace file.
    void setSink(std::function<void(const TraceRecord&)> sink);

private:
    class Device;
    using Clock = std::chrono::steady_clock;
    void record(Clock::time_point start, const char* op, std::string values, bool ok);
    std::unique_ptr<RelayDevice> traced(Clock::time_point start, std::size_t index,
                                        std::unique_ptr<RelayDevice> opened);

    const std::unique_ptr<Family> inner_;
    const Clock::time_point start_ = Clock::now();
    std::mutex lock_; // the file and the sink
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
    std::function<void(const TraceRecord&)> sink_;
};

} // namespace devices::testing
