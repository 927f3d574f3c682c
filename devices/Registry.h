#pragma once

#include "devices/BoardOptions.h"
#include "devices/Family.h"
#include "devices/Identity.h"
#include "devices/RelayDevice.h"
#include "devices/Result.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace devices {

// Every family at once: their boards in one list, numbered from 1 as the window's list numbers
// them, each with its id by one rule over all of them.
class Registry {
public:
    struct Entry {
        DeviceInfo info;
        BoardId id;
    };

    // A board with options (boards.conf) is opened with them: its active-low relays turned over.
    explicit Registry(std::vector<std::unique_ptr<Family>> families, OptionsById options = {});
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The boards there now, family by family in the order the families were given.
    std::vector<Entry> enumerate();
    // The board at an index of the last enumeration, without looking at the bus again, as the
    // window opens the entry the user chose. An index past the list goes to the first family,
    // which may have a board there by now.
    std::unique_ptr<RelayDevice> openAt(std::size_t index);
    // The same, only when the board that answers is the one of the last enumeration's entry: a
    // board that took its place meanwhile is let go untouched, and an unopened device comes back.
    std::unique_ptr<RelayDevice> openChecked(std::size_t index);
    // Looks at the bus now and opens the board with this id, checked as above.
    Result<std::unique_ptr<RelayDevice>> open(const std::string& id);
    // The place of a board before any was opened.
    std::unique_ptr<RelayDevice> unopened();
    // The udev subsystems of every family, each once.
    std::vector<std::string> udevSubsystems() const;
    const std::vector<std::unique_ptr<Family>>& families() const { return families_; }
    // The options of the board with this id; none given, the defaults.
    const BoardOptions& options(const std::string& id) const;

private:
    struct Place {
        Family* family = nullptr;
        std::size_t index = 0; // in the family's own enumeration
        std::string id;
        DeviceInfo info;
        bool listed = false; // in the last enumeration
    };
    Place placeOf(std::size_t index);
    std::unique_ptr<RelayDevice> withOptions(std::unique_ptr<RelayDevice> device,
                                             std::string id) const;

    const std::vector<std::unique_ptr<Family>> families_;
    const OptionsById options_;
    std::mutex lock_; // the last enumeration
    std::vector<Entry> entries_;
    std::vector<std::pair<Family*, std::size_t>> places_;
};

} // namespace devices
