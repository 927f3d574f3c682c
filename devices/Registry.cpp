#include "devices/Registry.h"

#include "devices/Inverted.h"

#include <algorithm>

namespace devices {

Registry::Registry(std::vector<std::unique_ptr<Family>> families, OptionsById options)
    : families_(std::move(families))
    , options_(std::move(options)) {}

const BoardOptions& Registry::options(const std::string& id) const {
    static const BoardOptions kNone;
    const auto found = options_.find(id);
    return found == options_.end() ? kNone : found->second;
}

std::unique_ptr<RelayDevice> Registry::withOptions(std::unique_ptr<RelayDevice> device,
                                                   std::string id) const {
    if (!device->isOpen())
        return device;
    device = inverted(std::move(device), options(id).invertMask());
    device->setId(std::move(id));
    return device;
}

std::vector<Registry::Entry> Registry::enumerate() {
    std::vector<DeviceInfo> boards;
    std::vector<std::pair<Family*, std::size_t>> places;
    for (const std::unique_ptr<Family>& family : families_) {
        std::vector<DeviceInfo> found = family->enumerate();
        for (std::size_t i = 0; i < found.size(); ++i) {
            places.emplace_back(family.get(), i);
            boards.push_back(std::move(found[i]));
        }
    }
    const std::vector<BoardId> ids = identifyBoards(boards);
    std::vector<Entry> entries;
    entries.reserve(boards.size());
    for (std::size_t i = 0; i < boards.size(); ++i)
        entries.push_back({std::move(boards[i]), ids[i]});
    const std::lock_guard lock(lock_);
    entries_ = entries;
    places_ = std::move(places);
    return entries;
}

Registry::Place Registry::placeOf(std::size_t index) {
    Place place;
    {
        const std::lock_guard lock(lock_);
        if (index < places_.size()) {
            place = {places_[index].first, places_[index].second, entries_[index].id.id,
                     entries_[index].info, true};
            return place;
        }
    }
    if (!families_.empty())
        place = {families_.front().get(), index, "board" + std::to_string(index + 1), {}, false};
    return place;
}

std::unique_ptr<RelayDevice> Registry::openAt(std::size_t index) {
    Place place = placeOf(index);
    if (!place.family)
        return noDevice();
    return withOptions(place.family->open(place.index), std::move(place.id));
}

std::unique_ptr<RelayDevice> Registry::openChecked(std::size_t index) {
    Place place = placeOf(index);
    if (!place.family || !place.listed)
        return unopened();
    return withOptions(place.family->openExpecting(place.index, place.info), std::move(place.id));
}

Result<std::unique_ptr<RelayDevice>> Registry::open(const std::string& id) {
    const std::vector<Entry> entries = enumerate();
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const Entry& entry) { return entry.id.id == id; });
    if (found == entries.end())
        return Failure{Failure::Kind::Gone, "no board " + id + " is there"};
    std::unique_ptr<RelayDevice> device =
        openChecked(static_cast<std::size_t>(found - entries.begin()));
    if (!device->isOpen())
        return Failure{Failure::Kind::Refused, id + " could not be opened"};
    return device;
}

std::unique_ptr<RelayDevice> Registry::unopened() {
    return families_.empty() ? noDevice() : families_.front()->unopened();
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
