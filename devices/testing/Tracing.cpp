#include "devices/testing/Tracing.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devices::testing {

namespace {

std::string hexByte(std::uint8_t value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

// The trace goes to a regular file only: opening a FIFO would wait for a reader for ever.
std::FILE* openTraceFile(const std::string& path, const WarningSink& warn) {
    if (path.empty())
        return nullptr;
    struct stat info {};
    const bool special = ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode);
    const int fd =
        special ? -1
                : ::open(path.c_str(),
                         O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (warn)
            warn("cannot write the trace file " + path + ": " +
                 (fd < 0 && !special ? std::strerror(errno) : "not a regular file") +
                 "; it is ignored");
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, O_APPEND);
    std::FILE* file = ::fdopen(fd, "a");
    if (!file)
        ::close(fd);
    return file;
}

} // namespace

std::string formatTraceLine(const TraceRecord& record) {
    std::string line = std::to_string(record.microseconds) + ' ' + record.op;
    if (!record.values.empty())
        line += ' ' + record.values;
    line += record.ok ? " ok" : " fail";
    return line;
}

class TracingFamily::Device final : public RelayDevice {
public:
    Device(TracingFamily& family, std::unique_ptr<RelayDevice> inner)
        : family_(family)
        , inner_(std::move(inner)) {}

    DeviceInfo info() const override { return inner_->info(); }
    std::uint8_t knownRelays() const override { return inner_->knownRelays(); }
    Result<void> setSerial(const std::string& serial) override { return inner_->setSerial(serial); }
    bool isOpen() const override { return inner_->isOpen(); }
    void setUpAgain() override { inner_->setUpAgain(); }

    Result<std::uint8_t> readRelays() override {
        const Clock::time_point start = Clock::now();
        Result<std::uint8_t> read = inner_->readRelays();
        family_.record(start, "read", read ? hexByte(read.value()) : std::string(), read.ok());
        return read;
    }

    Result<void> writeRelays(std::uint8_t relays) override {
        const Clock::time_point start = Clock::now();
        Result<void> written = inner_->writeRelays(relays);
        family_.record(start, "write", hexByte(relays), written.ok());
        return written;
    }

    Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) override {
        const Clock::time_point start = Clock::now();
        Result<void> written = inner_->writeSomeRelays(which, relays);
        family_.record(start, "write", hexByte(relays) + " only " + hexByte(which), written.ok());
        return written;
    }

    Result<void> close() override {
        const Clock::time_point start = Clock::now();
        Result<void> closed = inner_->close();
        family_.record(start, "close", {}, closed.ok());
        return closed;
    }

private:
    TracingFamily& family_;
    const std::unique_ptr<RelayDevice> inner_;
};

TracingFamily::TracingFamily(std::unique_ptr<Family> inner, const std::string& traceFile,
                             const WarningSink& warn)
    : inner_(std::move(inner)) {
    file_.reset(openTraceFile(traceFile, warn));
}

void TracingFamily::setSink(std::function<void(const TraceRecord&)> sink) {
    const std::lock_guard lock(lock_);
    sink_ = std::move(sink);
}

void TracingFamily::record(Clock::time_point start, const char* op, std::string values, bool ok) {
    const TraceRecord record{
        std::chrono::duration_cast<std::chrono::microseconds>(start - start_).count(), op,
        std::move(values), ok};
    const std::lock_guard lock(lock_);
    if (file_) {
        std::fprintf(file_.get(), "%s\n", formatTraceLine(record).c_str());
        std::fflush(file_.get());
    }
    if (sink_)
        sink_(record);
}

std::vector<DeviceInfo> TracingFamily::enumerate() {
    const Clock::time_point start = Clock::now();
    std::vector<DeviceInfo> found = inner_->enumerate();
    record(start, "count", std::to_string(found.size()), true);
    return found;
}

std::unique_ptr<RelayDevice> TracingFamily::traced(Clock::time_point start, std::size_t index,
                                                   std::unique_ptr<RelayDevice> opened) {
    record(start, "open", std::to_string(index), opened->isOpen());
    return std::make_unique<Device>(*this, std::move(opened));
}

std::unique_ptr<RelayDevice> TracingFamily::open(std::size_t index) {
    const Clock::time_point start = Clock::now();
    return traced(start, index, inner_->open(index));
}

// The inner family checks the board before it sets it up, as it would undecorated.
std::unique_ptr<RelayDevice> TracingFamily::openExpecting(std::size_t index,
                                                          const DeviceInfo& expected) {
    const Clock::time_point start = Clock::now();
    return traced(start, index, inner_->openExpecting(index, expected));
}

std::unique_ptr<RelayDevice> TracingFamily::unopened() {
    return std::make_unique<Device>(*this, inner_->unopened());
}

} // namespace devices::testing
