#include "devices/Registry.h"

#include <algorithm>

namespace devices {

namespace {

bool sameBoard(const DeviceInfo& a, const DeviceInfo& b) {
    return a.family == b.family && a.serial == b.serial && a.portPath == b.portPath &&
           a.name == b.name;
}

} // namespace

Registry::Registry(std::vector<std::unique_ptr<Family>> families)
    : families_(std::move(families)) {}

std::vector<Registry::Entry> Registry::enumerate() {
    std::vector<DeviceInfo> boards;
    std::vector<Place> places;
    for (const std::unique_ptr<Family>& family : families_) {
        std::vector<DeviceInfo> found = family->enumerate();
        for (std::size_t i = 0; i < found.size(); ++i) {
            places.push_back({family.get(), i});
            boards.push_back(std::move(found[i]));
        }
    }
    const std::vector<BoardId> ids = boardIds(boards);
    std::vector<Entry> entries;
    entries.reserve(boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i)
        entries.push_back({std::move(boards[i]), ids[i]});
    const std::lock_guard lock(lock_);
    entries_ = entries;
    places_ = std::move(places);
    return entries;
}

std::unique_ptr<RelayDevice> Registry::openPlace(const Place& place, std::string id) {
    std::unique_ptr<RelayDevice> device = place.family->open(place.index);
    if (device->isOpen())
        device->setId(std::move(id));
    return device;
}

std::unique_ptr<RelayDevice> Registry::openAt(std::size_t index) {
    Place place{nullptr, index};
    std::string id;
    {
        const std::lock_guard lock(lock_);
        if (index < places_.size()) {
            place = places_[index];
            id = entries_[index].id.id;
        }
    }
    if (!place.family) {
        if (families_.empty())
            return nullptr;
        place.family = families_.front().get();
        id = "board" + std::to_string(index + 1);
    }
    return openPlace(place, std::move(id));
}

Result<std::unique_ptr<RelayDevice>> Registry::open(const std::string& id) {
    const std::vector<Entry> entries = enumerate();
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const Entry& entry) { return entry.id.id == id; });
    if (found == entries.end())
        return Failure{Failure::Kind::Gone, "no board " + id + " is there"};
    Place place{};
    {
        const std::lock_guard lock(lock_);
        place = places_.at(static_cast<std::size_t>(found - entries.begin()));
    }
    std::unique_ptr<RelayDevice> device = openPlace(place, id);
    if (!device->isOpen())
        return Failure{Failure::Kind::Refused, id + " could not be opened"};
    if (!sameBoard(device->info(), found->info)) {
        [[maybe_unused]] const Result<void> closed = device->close();
        return Failure{Failure::Kind::Gone,
                       "another board answered in the place of " + id + "; it was let go"};
    }
    return device;
}

std::unique_ptr<RelayDevice> Registry::unopened() {
    return families_.empty() ? nullptr : families_.front()->unopened();
}

std::vector<std::string> Registry::udevSubsystems() const {
    std::vector<std::string> subsystems;
    for (const std::unique_ptr<Family>& family : families_)
        for (std::string& subsystem : family->udevSubsystems())
            if (std::find(subsystems.begin(), subsystems.end(), subsystem) == subsystems.end())
                subsystems.push_back(std::move(subsystem));
    return subsystems;
}

} // namespace devices
