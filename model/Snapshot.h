#pragma once

#include "devices/RelayMap.h"
#include "model/LabelTable.h"
#include "model/ProgramRows.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace model {

// A lamp is uncoloured until code first colours it; only the on state counts as on.
enum class Lamp : std::uint8_t { Uncoloured, On, Off };

// What the controls of one relay show. Captions are label bytes, one per character; the relay
// button's caption is the record of its relay (the ON label while the relay is off).
struct RelayView {
    std::string caption;     // relay button on "Manual Mode"
    std::string stepCaption; // step button on "Timer Mode"
    bool stepOn = false;     // the step button stands in its on position
    Lamp lamp = Lamp::Uncoloured;
};

// Whether a program plays: idle (it can be started), running, or paused (it can be resumed).
enum class Run : std::uint8_t { Idle, Running, Paused };

// A relay's two labels as the label dialog shows and returns them.
struct RelayLabels {
    QString on;
    QString off;
};

// The state as front ends see it: a copy, published whenever the model's lock is released after
// a change, and read without the lock.
struct Snapshot {
    std::uint64_t version = 0; // counts the copies published

    // ---- the relays
    std::uint8_t relayByte = 0; // bit n-1 = relay n, as last written or read
    // The board's relays (those above read as off and are never written), and those whose state
    // is known: a board that cannot read back knows only the relays commanded since it opened.
    int relayCount = devices::kRelayCount;
    std::uint8_t knownRelays = 0xFF;
    // The relays held on by a pulse, each until its off edge (monotonic ns), and the pattern as
    // it will stand once they have all ended: what a restart may restore, never a pulse's on.
    std::uint8_t pulsedRelays = 0;
    std::array<std::int64_t, devices::kRelayCount> pulseDueAt{};
    std::uint8_t relayByteBeneathPulses = 0;
    std::array<RelayView, devices::kRelayCount> relays{};
    labels::LabelTable labelTable{};
    int editedRelay = 0; // relay 1..8 whose labels the label dialog edits

    // ---- "Options": the boards found, the entry chosen, the list's text and the status
    std::uint32_t deviceCount = 0;
    int boardEntry = -1; // the chosen entry, -1 for none
    // The list's edit text when a user changed it; otherwise the list's own text for the boards
    // found.
    std::optional<std::string> boardListText;
    bool boardFound = false;
    std::string boardId; // of the board opened, until it is closed; empty for none

    // ---- "Timer Mode": the program, the step delay and the run
    std::shared_ptr<const ProgramRows> rows; // never empty
    std::uint64_t rowsVersion = 0;           // counts changes to the rows' texts or number
    int currentRow = 0;
    QString delayText = QStringLiteral("0"); // may differ from the value ("05")
    int timerValue = 0;                      // counts the playing step down
    int savedStepDelay = 0;                  // the playing step's full delay
    int resolution = 1;                      // the timer interval in ms
    bool repeat = false;
    Run run = Run::Idle;
    bool timerEnabled = true; // as the form describes it, until start-up

    bool relayPresent(int relay) const { return relay <= relayCount; }
    bool relayKnown(int relay) const { return knownRelays & devices::relayEntry(relay).mask; }
    std::uint8_t relayMask() const { return static_cast<std::uint8_t>((1U << relayCount) - 1U); }
    bool allRelaysKnown() const { return (knownRelays & relayMask()) == relayMask(); }

    int rowCount() const { return static_cast<int>(rows->size()); }
    std::string_view rowText(int row) const { return rows->at(static_cast<std::size_t>(row)); }
    const RelayView& relay(int relay) const {
        return relays.at(static_cast<std::size_t>(relay - 1));
    }
    std::string onLabel(int relay) const;
    std::string offLabel(int relay) const;
};

} // namespace model
