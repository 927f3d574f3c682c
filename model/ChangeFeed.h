#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// Tells whoever follows the state that a new snapshot was published, so that nobody has to poll
// for it. Telling costs the publisher at most one eventfd write per subscriber until that
// subscriber looks again, and never waits, so a slow subscriber cannot delay a tick.
namespace model {

class ChangeFeed {
public:
    class Subscription;

    ChangeFeed() = default;
    ChangeFeed(const ChangeFeed&) = delete;
    ChangeFeed& operator=(const ChangeFeed&) = delete;

    // A new follower; the state counts as changed for it until it first looks.
    std::shared_ptr<Subscription> subscribe();
    // A snapshot was published.
    void notify();

private:
    std::mutex lock_; // the list, never held while anything waits
    std::vector<std::weak_ptr<Subscription>> subscriptions_;
};

class ChangeFeed::Subscription {
public:
    Subscription();
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // Readable (poll) while there is a change the subscriber has not taken; -1 where the kernel
    // gave no eventfd, when only changed() can tell.
    int fd() const { return fd_; }
    // Whether a snapshot was published since the last call; takes it and never waits.
    bool changed();
    // Waits at most timeoutMs for a change, and takes it.
    bool waitForChange(int timeoutMs);

private:
    friend class ChangeFeed;
    void tell();

    int fd_ = -1;
    std::atomic<bool> pending_{true};
};

} // namespace model
