#include "devices/hid/BoundedCaller.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

namespace devices::hid {

struct BoundedCaller::Shared {
    std::mutex lock;
    std::condition_variable changed;
    std::function<void()> call; // waiting to run
    bool running = false;
    bool stopping = false;
    std::uint64_t ended = 0; // calls that have ended
    std::thread thread;
};

BoundedCaller::BoundedCaller(std::chrono::milliseconds bound)
    : bound_(bound)
    , shared_(std::make_shared<Shared>()) {
    // The thread keeps what it shares alive, for a call that outlives this object.
    shared_->thread = std::thread([shared = shared_] {
        std::unique_lock lock(shared->lock);
        for (;;) {
            shared->changed.wait(lock, [&] { return shared->stopping || shared->call; });
            if (!shared->call)
                return;
            const std::function<void()> call = std::exchange(shared->call, nullptr);
            shared->running = true;
            lock.unlock();
            call();
            lock.lock();
            shared->running = false;
            ++shared->ended;
            shared->changed.notify_all();
        }
    });
}

BoundedCaller::~BoundedCaller() {
    std::unique_lock lock(shared_->lock);
    shared_->stopping = true;
    const bool stuck = shared_->running || shared_->call;
    shared_->changed.notify_all();
    lock.unlock();
    if (stuck)
        shared_->thread.detach();
    else
        shared_->thread.join();
}

// A call given up on that ends meanwhile (a board that answers again) lets this one through
// within the same bound, so the first call after a board comes back is not refused for it.
bool BoundedCaller::run(std::function<void()> call) {
    const auto deadline = std::chrono::steady_clock::now() + bound_;
    std::unique_lock lock(shared_->lock);
    if (!shared_->changed.wait_until(lock, deadline,
                                     [&] { return !shared_->running && !shared_->call; }))
        return false;
    const std::uint64_t target = shared_->ended + 1;
    shared_->call = std::move(call);
    shared_->changed.notify_all();
    return shared_->changed.wait_until(lock, deadline, [&] { return shared_->ended >= target; });
}

} // namespace devices::hid
