#include "devices/Family.h"

#include "devices/Identity.h"

namespace devices {

namespace {

class NoDevice final : public RelayDevice {
public:
    DeviceInfo info() const override { return {}; }
    bool isOpen() const override { return false; }
    Result<std::uint8_t> readRelays() override { return none(); }
    Result<void> writeRelays(std::uint8_t) override { return none(); }
    Result<void> close() override { return none(); }

private:
    static Failure none() { return {Failure::Kind::NotOpen, "no board is open"}; }
};

} // namespace

std::unique_ptr<RelayDevice> noDevice() {
    return std::make_unique<NoDevice>();
}

std::optional<ConfigError> Family::configure(const std::vector<ConfiguredBoard>& sections) {
    if (sections.empty())
        return std::nullopt;
    return ConfigError{sections.front().where + ": " + std::string(name()) +
                       " boards take no configuration"};
}

std::unique_ptr<RelayDevice> Family::openExpecting(std::size_t index, const DeviceInfo& expected) {
    std::unique_ptr<RelayDevice> device = open(index);
    if (!device->isOpen() || sameBoard(device->info(), expected))
        return device;
    [[maybe_unused]] const Result<void> closed = device->close();
    return unopened();
}

} // namespace devices
