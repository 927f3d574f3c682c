#include "devices/Inverted.h"

namespace devices {

namespace {

class InvertedDevice final : public RelayDevice {
public:
    InvertedDevice(std::unique_ptr<RelayDevice> inner, std::uint8_t mask)
        : inner_(std::move(inner))
        , mask_(mask) {}

    DeviceInfo info() const override { return inner_->info(); }
    bool isOpen() const override { return inner_->isOpen(); }
    Result<std::uint8_t> readRelays() override {
        Result<std::uint8_t> pins = inner_->readRelays();
        if (!pins)
            return pins;
        return static_cast<std::uint8_t>(pins.value() ^ mask_);
    }
    Result<void> writeRelays(std::uint8_t relays) override {
        return inner_->writeRelays(static_cast<std::uint8_t>(relays ^ mask_));
    }
    Result<void> writeSomeRelays(std::uint8_t which, std::uint8_t relays) override {
        return inner_->writeSomeRelays(which, static_cast<std::uint8_t>(relays ^ mask_));
    }
    std::uint8_t knownRelays() const override { return inner_->knownRelays(); }
    Result<void> setSerial(const std::string& serial) override { return inner_->setSerial(serial); }
    Result<void> close() override { return inner_->close(); }
    void setUpAgain() override { inner_->setUpAgain(); }

private:
    const std::unique_ptr<RelayDevice> inner_;
    const std::uint8_t mask_;
};

} // namespace

std::unique_ptr<RelayDevice> inverted(std::unique_ptr<RelayDevice> device, std::uint8_t mask) {
    if (mask == 0 || !device->isOpen())
        return device;
    return std::make_unique<InvertedDevice>(std::move(device), mask);
}

} // namespace devices
