#pragma once

#include "devices/Family.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Boards that misbehave on purpose, to see what the program does when a real one is unplugged,
// wedged or slow: a family of any kind, wrapped.
namespace devices::testing {

// How long one call of a wedged board hangs before it fails: the USB timeout of real boards.
inline constexpr std::chrono::milliseconds kWedgedCallTime{300};

struct Faults {
    std::optional<std::uint64_t> unplugAfterCalls; // every board vanishes after this many calls
    std::optional<std::uint64_t> wedgeAfterCalls;  // then every call hangs, and fails
    std::chrono::microseconds latency{0};          // every call takes this long, as USB does
    bool failWrites = false;
    bool failReads = false;
    bool shortWrites = false;         // a write reaches the board but only in part
    std::vector<std::string> unknown; // words that name no fault, or values out of range
    // Lists the numbers of the boards that are unplugged now ("2", "1 3"), read at every call, so
    // that a test can pull a board out and put it back: the others move up, a pulled board's
    // device dies and it comes back without what its power kept. No file or an empty one: all
    // are there.
    std::string unpluggedFile;
    // Lists the numbers of the boards that are wedged now, read at every call in the same way:
    // every call on such a board (opening and closing it too) hangs and fails, as a board that
    // stopped answering on the bus does. The others answer meanwhile.
    std::string wedgedFile;

    bool any() const {
        return unplugAfterCalls || wedgeAfterCalls || latency.count() > 0 || failWrites ||
               failReads || shortWrites || !unpluggedFile.empty() || !wedgedFile.empty();
    }
};

// Parses "unplug-after=N,wedge-after=N,latency=MS,fail-writes,fail-reads,short-writes" (any
// subset, any order; MS may have a fraction, "1.2"). Unknown words and values out of range are
// collected rather than refused, so that a typo never stops the program from starting.
Faults parseFaults(const std::string& text);

// The boards of another family with these faults. Calls on different boards may come at once;
// the time a call takes (latency, a wedge) passes without holding up the others.
class FaultyFamily final : public Family {
public:
    FaultyFamily(std::unique_ptr<Family> inner, Faults faults);
    ~FaultyFamily() override;

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
    void pulledOut(std::size_t index) override;

private:
    class Device;
    enum class Verdict { Passes, Fails, Hangs };
    // Counts a call (for the board with this number in the inner family, if it is for one),
    // looks at the files and takes the time the call costs, without the lock.
    Verdict beginCall(std::optional<std::size_t> board, bool counted = true);
    void checkUnpluggedFile();                                     // under lock_
    std::vector<bool> listedBoards(const std::string& file) const; // under lock_
    std::optional<std::size_t> boardAtIndex(std::size_t index) const;
    // Opens the board at an index as the faults let it be opened; with `expected`, as the inner
    // family opens a board that must be that one.
    std::unique_ptr<RelayDevice> openFaulty(std::size_t index, const DeviceInfo* expected);

    const std::unique_ptr<Family> inner_;
    const Faults faults_;
    mutable std::mutex lock_; // everything below, never held while a call takes its time
    std::uint64_t calls_ = 0;
    std::size_t boards_ = 0;           // how many the inner family had at the last look
    std::vector<bool> unplugged_;      // by board of the inner family
    std::vector<std::uint64_t> pulls_; // by board: the times it was pulled out
};

} // namespace devices::testing
