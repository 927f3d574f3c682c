#include "model/BoardSession.h"

#include "devices/RelayMap.h"
#include "model/Clock.h"

#include <algorithm>

namespace model {

BoardSession::BoardSession(devices::Registry& boards)
    : boards_(boards)
    , device_(boards.unopened()) {}

void BoardSession::discover() {
    discovered_ = boards_.enumerate();
}

std::optional<std::size_t> BoardSession::indexOf(const std::string& id) const {
    const auto entry = std::find_if(discovered_.begin(), discovered_.end(),
                                    [&](const auto& found) { return found.id.id == id; });
    if (entry == discovered_.end())
        return std::nullopt;
    return static_cast<std::size_t>(entry - discovered_.begin());
}

std::size_t BoardSession::countNow() {
    return boards_.enumerate().size();
}

// The board at an index of the last discovery. One that cannot be opened leaves the board opened
// before (if any) in its place, as a handle that was never reset, and that one is set up again
// and counts as opened: the board open already cannot be opened twice, so opening it once more
// keeps it.
bool BoardSession::open(std::size_t index) {
    std::unique_ptr<devices::RelayDevice> opened = boards_.openAt(index);
    if (opened->isOpen()) {
        endPulsesOff(); // on the board they were for, before another takes its place
        device_ = std::move(opened);
        takeKindOfDevice();
        // Whoever opened it, the window included, keeps to the interlocks of its section.
        interlocks_ = Interlocks(
            boards_.options(index < discovered_.size() ? discovered_[index].id.id : std::string()));
    } else if (device_->isOpen())
        device_->setUpAgain();
    return device_->isOpen();
}

// From the boards the last discovery found, without counting them again.
void BoardSession::takeIdOf(std::size_t index) {
    boardId_ =
        index < discovered_.size() ? discovered_[index].id.id : "board" + std::to_string(index + 1);
}

void BoardSession::closeDevice() {
    [[maybe_unused]] const devices::Result<void> closed = device_->close();
}

// A pulse never outlives the board's being held: nobody would be left to end it.
void BoardSession::close() {
    endPulsesOff();
    closeDevice();
    boardId_.clear();
}

void BoardSession::takeKindOfDevice() {
    const devices::DeviceInfo info = device_->info();
    relayCount_ = std::clamp(info.relayCount, 1, devices::kMaxRelays);
    readsBack_ = info.readsBack;
    known_ = readsBack_ ? 0xFF : static_cast<std::uint8_t>(device_->knownRelays() & relayMask());
    relayByte_ &= known_ & relayMask();
}

// Once a board has been opened, a failed read or write means it has gone away; also when the
// device let the board go as it failed (a network board whose server is gone closes itself).
void BoardSession::noteBoardStatus(bool wasOpen, bool succeeded) {
    if (wasOpen && !succeeded) {
        ++failures_;
        found_ = false;
        away_ = keepRunningWithoutBoard_;
    }
}

// A board that is away is not asked: each read or write counts as failed at once. One that cannot
// read back is still asked, to learn whether it answers, but only tells what it was told, which
// the byte has already.
void BoardSession::read() {
    if (away_)
        ++failures_;
    else {
        const bool wasOpen = device_->isOpen();
        const devices::Result<std::uint8_t> read = device_->readRelays();
        if (read && readsBack_)
            relayByte_ = read.value() & relayMask(); // a failed read leaves the byte as it was
        noteBoardStatus(wasOpen, read.ok());
    }
}

// Relays above the board's count are never written. A failed write still counts as commanded,
// so that a board that comes back is given it.
void BoardSession::writeSome(std::uint8_t which, std::uint8_t relays) {
    which &= relayMask();
    // A step of a program writes beneath a pulse: the pulsed relay stays on until its off edge.
    const std::uint8_t held = which & pulsed_;
    beneath_ = static_cast<std::uint8_t>((beneath_ & ~held) | (relays & held));
    relays |= held;
    relayByte_ = static_cast<std::uint8_t>((relayByte_ & ~which) | (relays & which));
    known_ |= which;
    lastWriteStartedAt_ = monotonicNanos();
    if (away_)
        ++failures_;
    else {
        const bool wasOpen = device_->isOpen();
        noteBoardStatus(wasOpen, send(which));
    }
}

bool BoardSession::send(std::uint8_t which) {
    if (readsBack_ || which == relayMask())
        return device_->writeRelays(relayByte_).ok();
    return device_->writeSomeRelays(which, relayByte_).ok();
}

std::optional<std::uint8_t> BoardSession::readRelays() {
    const std::uint64_t before = failures_;
    read();
    if (failures_ != before || !device_->isOpen())
        return std::nullopt;
    return relayByte_;
}

// A board that is away is not written: nothing was commanded, so the pattern it is given when it
// comes back stays the last one.
void BoardSession::refuseBreach(std::uint8_t asserted, std::uint8_t after) const {
    if (const std::optional<std::string> why =
            interlocks_.breach(asserted & relayMask(), after & relayMask()))
        throw InterlockRefused(*why + "; nothing was written");
}

// A script's write is judged whole against the interlocks before it goes anywhere.
bool BoardSession::writeSomeRelays(std::uint8_t which, std::uint8_t relays) {
    refuseBreach(which & relays,
                 static_cast<std::uint8_t>((possiblyOn() & ~which) | (relays & which)));
    if (away_)
        return false;
    const std::uint64_t before = failures_;
    const std::uint8_t commanded = relayByte_;
    const std::uint8_t known = known_;
    writeSome(which, relays);
    if (!device_->isOpen() || failures_ != before) {
        relayByte_ = commanded;
        known_ = known;
        return false;
    }
    return true;
}

std::int64_t BoardSession::nextPulseDue() const {
    std::int64_t next = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (pulsed_ & entry.mask) {
            const std::int64_t due = pulseDue_.at(static_cast<std::size_t>(entry.relay - 1));
            next = next == 0 ? due : std::min(next, due);
        }
    return next;
}

bool BoardSession::startPulse(std::uint8_t which,
                              const std::array<std::int64_t, devices::kMaxRelays>& lengths,
                              std::uint8_t beneath) {
    which &= relayMask();
    cancelPulses(which);
    if (!writeSomeRelays(which, 0xFF))
        return false;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if (which & entry.mask)
            pulseDue_.at(static_cast<std::size_t>(entry.relay - 1)) =
                lastWriteStartedAt_ + lengths.at(static_cast<std::size_t>(entry.relay - 1));
    beneath_ = static_cast<std::uint8_t>((beneath_ & ~which) | (beneath & which));
    pulsed_ |= which;
    return true;
}

// A failed off edge still counts as commanded, so that a board that comes back is given it.
void BoardSession::endPulsesDueBy(std::int64_t now) {
    std::uint8_t due = 0;
    for (const devices::RelayMapEntry& entry : devices::kRelayMap)
        if ((pulsed_ & entry.mask) &&
            pulseDue_.at(static_cast<std::size_t>(entry.relay - 1)) <= now)
            due |= entry.mask;
    if (due == 0)
        return;
    cancelPulses(due);
    writeSome(due, beneath_);
}

void BoardSession::endPulsesOff() {
    const std::uint8_t pulsed = pulsed_;
    if (pulsed == 0)
        return;
    cancelPulses(pulsed);
    writeSome(pulsed, 0);
}

void BoardSession::wentAway() {
    found_ = false;
    away_ = keepRunningWithoutBoard_;
}

// The old board is forgotten first, so that one that cannot be opened again is not taken for the
// one that was. The board comes back as it was opened (bit-bang mode is set; it is never reset,
// so pins that kept power keep their relays), but without its pins being read. A board that
// cannot read back is given the relays commanded before, the others left unknown.
bool BoardSession::reopen(std::size_t index, const std::string& id) {
    device_ = boards_.openChecked(index);
    if (!device_->isOpen())
        return false;
    away_ = false;
    const std::uint8_t known = known_;
    const std::uint8_t commanded = relayByte_;
    takeKindOfDevice();
    known_ = readsBack_ ? 0xFF : known & relayMask();
    relayByte_ = commanded & relayMask();
    const std::uint64_t before = failures_;
    if (known_ != 0)
        writeSome(known_, relayByte_);
    if (failures_ != before)
        return false;
    boardId_ = id;
    found_ = true;
    return true;
}

} // namespace model
