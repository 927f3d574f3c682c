#pragma once

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

    explicit Registry(std::vector<std::unique_ptr<Family>> families);
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The boards there now, family by family in the order the families were given.
    std::vector<Entry> enumerate();
    // The board at an index of the last enumeration, without looking at the bus again, as the
    // window opens the entry the user chose. An index past the list goes to the first family,
    // which may have a board there by now.
    std::unique_ptr<RelayDevice> openAt(std::size_t index);
    // Looks at the bus now and opens the board with this id; the board that answers must be that
    // one, or it is let go again and nothing is written to it.
    Result<std::unique_ptr<RelayDevice>> open(const std::string& id);
    // The place of a board before any was opened.
    std::unique_ptr<RelayDevice> unopened();
    // The udev subsystems of every family, each once.
    std::vector<std::string> udevSubsystems() const;

private:
    struct Place {
        Family* family;
        std::size_t index; // in the family's own enumeration
    };
    std::unique_ptr<RelayDevice> openPlace(const Place& place, std::string id);

    const std::vector<std::unique_ptr<Family>> families_;
    std::mutex lock_; // the last enumeration
    std::vector<Entry> entries_;
    std::vector<Place> places_;
};

} // namespace devices
