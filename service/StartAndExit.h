#pragma once

#include "devices/Options.h"
#include "model/Model.h"
#include "service/BoardHost.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

// What a held board's relays are set to when its holder starts and when it stops (on_start,
// on_exit), and what it last commanded, kept on the disk so that a relay whose on_start is "last"
// stands as it was left, after a clean stop, a crash or a power cut alike.
namespace service {

struct LastRelays {
    std::uint8_t relays = 0; // bit n-1 = relay n
    std::uint8_t known = 0;  // the relays whose state was known then
};

// One write of the relays in `which`, each to its bit of `relays`.
struct RelayWrite {
    std::uint8_t which = 0;
    std::uint8_t relays = 0;
};

// What the options say to write at the start: "off" and "on" relays, and "last" ones that were
// known then; "keep" ones, and "last" ones with nothing known, are left as they are.
RelayWrite startWrite(const devices::BoardOptions& options, int relayCount,
                      const std::optional<LastRelays>& last);
// The relays an "off" on_exit turns off.
RelayWrite exitWrite(const devices::BoardOptions& options, int relayCount);
// Whether any relay starts as it was last left, so that its pattern is to be kept.
bool keepsLast(const devices::BoardOptions& options);

// Gives the held board the write, in one, under its model's lock, the other relays as they are;
// whether the board took it (nothing to write is taken).
bool applyWrite(model::Model& model, const RelayWrite& write);

// Where the files go: $XDG_STATE_HOME/tambrook, or the state folder systemd gives the service
// ($STATE_DIRECTORY), or ~/.local/state/tambrook; root without a home of its own, and a user
// without one, /var/lib/tambrook.
std::string stateFolder(const std::function<std::string(const char* name)>& getenv);
std::string stateFolder();
// The folder and those above it, each made private to this user when it is new; whether they all
// are there now.
bool makeFolders(const std::string& folder);

// The board's file in that folder: its id with every character but [A-Za-z0-9._-] written %XX,
// so that "modbus:/dev/ttyUSB0" is one name.
std::string lastStatePath(const std::string& folder, const std::string& id);

// "10?00000\n": the relays as far as they were known. Nothing when the file is missing or is not
// such a line.
std::optional<LastRelays> readLastRelays(const std::string& path);
std::string lastRelaysText(const LastRelays& last);

// Follows a held board's relays and writes each new pattern to its file on a thread of its own,
// so that no command waits for the disk; patterns that come faster than the disk takes them
// coalesce into the newest. Every write replaces the file whole (safefile::replaceFile), so a
// kill at any moment leaves the old pattern or the new one.
class LastStateKeeper final : public FrontEnd {
public:
    LastStateKeeper(const model::Model& model, std::string path);
    // Writes the pattern of the moment, if it is new, before it goes.
    ~LastStateKeeper() override;
    LastStateKeeper(const LastStateKeeper&) = delete;
    LastStateKeeper& operator=(const LastStateKeeper&) = delete;

private:
    void run();

    const model::Model& model_;
    const std::string path_;
    std::shared_ptr<model::ChangeFeed::Subscription> changes_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

} // namespace service
