#include "model/ChangeFeed.h"

#include <algorithm>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace model {

std::shared_ptr<ChangeFeed::Subscription> ChangeFeed::subscribe() {
    auto subscription = std::make_shared<Subscription>();
    const std::lock_guard lock(lock_);
    subscriptions_.erase(std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                                        [](const auto& weak) { return weak.expired(); }),
                         subscriptions_.end());
    subscriptions_.push_back(subscription);
    return subscription;
}

void ChangeFeed::notify() {
    const std::lock_guard lock(lock_);
    for (const std::weak_ptr<Subscription>& weak : subscriptions_)
        if (const std::shared_ptr<Subscription> subscription = weak.lock())
            subscription->tell();
}

ChangeFeed::Subscription::Subscription()
    : fd_(::eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ChangeFeed::Subscription::~Subscription() {
    if (fd_ >= 0)
        ::close(fd_);
}

// Only the first change after a look costs a write; the rest find it pending.
void ChangeFeed::Subscription::tell() {
    if (pending_.exchange(true))
        return;
    if (fd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
    }
}

// The fd is emptied before the change is taken: a change told in between finds it still pending
// and writes nothing, and the snapshot the caller reads next, published before it was told,
// already holds it. The other way round, such a change would stay pending with the fd empty, and
// a subscriber asleep on the fd would never hear of the changes after it.
bool ChangeFeed::Subscription::changed() {
    if (fd_ >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t read = ::read(fd_, &count, sizeof count);
    }
    return pending_.exchange(false);
}

bool ChangeFeed::Subscription::waitForChange(int timeoutMs) {
    if (changed())
        return true;
    if (fd_ < 0)
        return false;
    pollfd ready{fd_, POLLIN, 0};
    return ::poll(&ready, 1, timeoutMs) > 0 && changed();
}

} // namespace model
