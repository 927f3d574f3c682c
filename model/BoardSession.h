#pragma once

#include "devices/Registry.h"
#include "devices/RelayDevice.h"
#include "model/Interlock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace model {

// The board the model works: the device opened (or the place of one until a board opens), the
// relay state byte every read lands in and every write sends, the boards the last discovery
// found, and whether the board counts as found. It has no lock of its own; the model's guards it.
class BoardSession {
public:
    // The boards are those of the registry, which outlives the session.
    explicit BoardSession(devices::Registry& boards);
    // The boards' options (boards.conf), by board id.
    const devices::BoardOptions& options(const std::string& id) const {
        return boards_.options(id);
    }

    // ---- the boards found
    void discover();
    std::uint32_t deviceCount() const { return static_cast<std::uint32_t>(discovered_.size()); }
    // Where the board with this id stands in the last discovery.
    std::optional<std::size_t> indexOf(const std::string& id) const;
    // The boards on the bus now, counted afresh, without changing the last discovery.
    std::size_t countNow();

    // ---- opening and closing
    // The board at an index of the last discovery; whether a board is open now. The pulses of
    // the board opened before end with their relays off.
    bool open(std::size_t index);
    // The board opened at that index is the one the session reports until it is closed.
    void takeIdOf(std::size_t index);
    bool isOpen() const { return device_->isOpen(); }
    // The device lets its board go; the id stays, as the board may come back.
    void closeDevice();
    // The board closes and is forgotten, its pulsed relays switched off first.
    void close();

    // ---- what the board opened can do: its relays (those above are never written and read as
    // off) and which of them are known (all of a board that reads back; of one that cannot,
    // those commanded since it was opened, kept through an unplug)
    int relayCount() const { return relayCount_; }
    std::uint8_t relayMask() const { return static_cast<std::uint8_t>((1U << relayCount_) - 1U); }
    std::uint8_t knownRelays() const { return known_; }
    bool allKnown() const { return (known_ & relayMask()) == relayMask(); }
    // The relays that are on, or may be as far as anyone knows: an interlock counts unknown ones.
    std::uint8_t possiblyOn() const {
        return static_cast<std::uint8_t>(relayByte_ | (~known_ & relayMask()));
    }

    // ---- the relay state byte and the board's traffic
    std::uint8_t relayByte() const { return relayByte_; }
    void setRelayByte(std::uint8_t byte) { relayByte_ = byte; }
    // One read of the pins into the byte; a failed read leaves it as it was.
    void read();
    // The byte becomes these relays and is written once.
    void write(std::uint8_t relays) { writeSome(0xFF, relays); }
    // Only the relays in `which` take their bits of `relays` and are written; the others stay as
    // they are, unknown ones unknown.
    void writeSome(std::uint8_t which, std::uint8_t relays);
    // A read whose failure is told: nothing when the board did not answer or none is open.
    std::optional<std::uint8_t> readRelays();
    // A write whose failure is told; refused, the byte stays what it was.
    bool writeRelays(std::uint8_t relays) { return writeSomeRelays(0xFF, relays); }
    bool writeSomeRelays(std::uint8_t which, std::uint8_t relays);
    // ---- the relays of the board that must never be on together (its options' interlocks, taken
    // when it is opened)
    const Interlocks& interlocks() const { return interlocks_; }
    // Throws InterlockRefused when turning the `asserted` relays on would leave the relays
    // `after` breaking an interlock; before anything is written or shown.
    void refuseBreach(std::uint8_t asserted, std::uint8_t after) const;

    // Counts the failed reads and writes of an opened board.
    std::uint64_t failures() const { return failures_; }
    std::int64_t lastWriteStartedAt() const { return lastWriteStartedAt_; }

    // ---- pulses: relays held on until a due time (monotonic ns), whatever a program's steps
    // write meanwhile; what the steps wrote to them is kept beneath and comes back at the off edge
    std::uint8_t pulsedRelays() const { return pulsed_; }
    const std::array<std::int64_t, devices::kMaxRelays>& pulseDueTimes() const { return pulseDue_; }
    // The earliest off edge due, or 0 when no relay is pulsed.
    std::int64_t nextPulseDue() const;
    // The relays in `which` go on (one write) and each is held for its length (ns; [0] relay 1)
    // from that write's start; `beneath` is what they go back to then. Whether the board took
    // the write.
    bool startPulse(std::uint8_t which,
                    const std::array<std::int64_t, devices::kMaxRelays>& lengths,
                    std::uint8_t beneath);
    // The pulses of these relays end without a write: an explicit write takes them over.
    void cancelPulses(std::uint8_t which) { pulsed_ = static_cast<std::uint8_t>(pulsed_ & ~which); }
    // The pulses due by `now` end: their relays are written back to what lies beneath (one write).
    void endPulsesDueBy(std::int64_t now);
    // Every pulse ends with its relay off, whatever lies beneath: a pulse never outlives its
    // holder.
    void endPulsesOff();
    // The pattern last commanded, with the pulsed relays as they will be after their off edge.
    std::uint8_t relayByteBeneathPulses() const {
        return static_cast<std::uint8_t>((relayByte_ & ~pulsed_) | (beneath_ & pulsed_));
    }

    // ---- what the status panel reports, and a board kept through an unplug
    bool found() const { return found_; }
    void setFound(bool found) { found_ = found; }
    const std::string& boardId() const { return boardId_; }
    void keepRunningWithoutBoard() { keepRunningWithoutBoard_ = true; }
    bool keepsRunningWithoutBoard() const { return keepRunningWithoutBoard_; }
    // The holder saw the board leave the bus before any call to it failed.
    void wentAway();
    // Opens the board at an index of the last discovery again, checked to be the one with this
    // id, and writes the byte last commanded once; whether it is back and took the write.
    bool reopen(std::size_t index, const std::string& id);

private:
    void noteBoardStatus(bool wasOpen, bool succeeded);
    // What the board just opened can do; nothing of a board that cannot read back is known yet.
    void takeKindOfDevice();
    // The relays in `which` as the byte has them, whole when that is every relay.
    bool send(std::uint8_t which);

    devices::Registry& boards_;
    std::unique_ptr<devices::RelayDevice>
        device_; // never null; the place of a board until one opens
    std::vector<devices::Registry::Entry> discovered_; // the boards the last discovery found
    std::uint8_t relayByte_ = 0;                       // bit n-1 = relay n, as last written or read
    int relayCount_ = devices::kMaxRelays;             // of the board opened last
    bool readsBack_ = true;                            //
    std::uint8_t known_ = 0xFF;                        // bit n-1 = relay n
    bool found_ = false;                               // the status panel: "Board found !"
    std::string boardId_; // of the board opened, until it is closed; empty for none
    std::uint64_t failures_ = 0;
    bool keepRunningWithoutBoard_ = false;
    bool away_ = false; // kept running without its board: nothing is read or written
    std::int64_t lastWriteStartedAt_ = 0; // monotonic ns
    std::uint8_t pulsed_ = 0;             // bit n-1 = relay n, held on by a pulse
    std::uint8_t beneath_ = 0;            // what the pulsed relays go back to
    std::array<std::int64_t, devices::kMaxRelays> pulseDue_{}; // of the pulsed relays
    Interlocks interlocks_; // none unless the holder was given some
};

} // namespace model
