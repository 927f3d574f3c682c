#include "devices/lcus/LcusDevice.h"

#include "devices/RelayMap.h"

#include <array>
#include <span>
#include <string>

namespace devices::lcus {

namespace {

Failure notOpen() {
    return {Failure::Kind::NotOpen, "no board is open"};
}

} // namespace

LcusDevice::LcusDevice(std::unique_ptr<Link> link, DeviceInfo info)
    : link_(std::move(link))
    , info_(std::move(info)) {}

std::uint8_t LcusDevice::boardMask() const {
    return static_cast<std::uint8_t>((1u << info_.relayCount) - 1u);
}

Result<std::uint8_t> LcusDevice::readRelays() {
    if (!link_)
        return notOpen();
    return static_cast<std::uint8_t>(relays_ & known_);
}

Result<void> LcusDevice::writeRelays(std::uint8_t relays) {
    return writeSomeRelays(static_cast<std::uint8_t>(boardMask() | relays), relays);
}

// Only the relays named are framed, so that a relay nobody set stays unknown rather than being
// switched off.
Result<void> LcusDevice::writeSomeRelays(std::uint8_t which, std::uint8_t relays) {
    if (!link_)
        return notOpen();
    if ((which & relays & ~boardMask()) != 0)
        return Failure{Failure::Kind::Refused,
                       "this board has " + std::to_string(info_.relayCount) + " relays"};
    std::array<Frame, kMaxRelays> frames{};
    std::size_t framed = 0;
    std::uint8_t changing = 0;
    for (int relay = 1; relay <= info_.relayCount; ++relay) {
        const std::uint8_t mask = relayEntry(relay).mask;
        if ((which & mask) == 0)
            continue;
        const bool on = (relays & mask) != 0;
        if ((known_ & mask) != 0 && ((relays_ & mask) != 0) == on)
            continue;
        frames[framed++] = frameFor(relay, on);
        changing = static_cast<std::uint8_t>(changing | mask);
    }
    if (framed == 0)
        return {};
    if (Result<void> sent = link_->sendAll(std::span(frames.data(), framed)); !sent) {
        known_ = static_cast<std::uint8_t>(known_ & ~changing);
        return sent;
    }
    relays_ = static_cast<std::uint8_t>((relays_ & ~changing) | (relays & changing));
    known_ = static_cast<std::uint8_t>(known_ | changing);
    return {};
}

Result<void> LcusDevice::close() {
    if (!link_)
        return notOpen();
    link_.reset();
    return {};
}

std::unique_ptr<RelayDevice> unopenedDevice(DeviceInfo info) {
    return std::make_unique<LcusDevice>(nullptr, std::move(info));
}

} // namespace devices::lcus
