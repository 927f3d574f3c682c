#include "service/Supervisor.h"

#include <algorithm>

namespace service {

namespace {

constexpr std::chrono::seconds kLookInterval{1};

} // namespace

Supervisor::Supervisor(devices::Registry& boards, Events events)
    : boards_(boards)
    , events_(std::move(events))
    , plugs_(boards.udevSubsystems())
    , lastLook_(std::chrono::steady_clock::now()) {}

Supervisor::~Supervisor() {
    stopAll();
}

void Supervisor::add(std::unique_ptr<BoardHost> host) {
    hosts_.push_back(std::move(host));
}

void Supervisor::lookWhenDue() {
    const bool plugged = plugs_.changed();
    if (plugged || std::chrono::steady_clock::now() - lastLook_ >= kLookInterval)
        look();
}

void Supervisor::look() {
    lastLook_ = std::chrono::steady_clock::now();
    const std::vector<devices::Registry::Entry> found = boards_.enumerate();
    const auto numberOf = [&](const std::string& id) {
        return static_cast<int>(std::find_if(found.begin(), found.end(),
                                             [&](const auto& entry) { return entry.id.id == id; }) -
                                found.begin()) +
               1;
    };
    for (const std::unique_ptr<BoardHost>& host : hosts_) {
        const bool present = numberOf(host->id()) <= static_cast<int>(found.size());
        if (!host->lost() && (!present || !host->model().snapshot()->boardFound)) {
            host->markLost();
            // Said once it is true, so whoever hears of it and then asks sees it so.
            if (events_.lost)
                events_.lost(*host, present);
        }
        // By its id, not by the number it had in this look: the bus may have changed since.
        if (host->lost() && present && host->reopen() && events_.back)
            events_.back(*host);
    }
    if (!events_.found)
        return;
    for (const devices::Registry::Entry& entry : found) {
        const bool held = std::any_of(hosts_.begin(), hosts_.end(),
                                      [&](const auto& host) { return host->id() == entry.id.id; });
        if (!held)
            events_.found(entry.id, numberOf(entry.id.id));
    }
}

void Supervisor::stopAll(const std::function<void(const std::string& id)>& closed) {
    for (const std::unique_ptr<BoardHost>& host : hosts_)
        host->stopping();
    for (std::unique_ptr<BoardHost>& host : hosts_) {
        const std::string id = host->id();
        host.reset();
        if (closed)
            closed(id);
    }
    hosts_.clear();
}

} // namespace service
