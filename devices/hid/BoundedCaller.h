#pragma once

#include <chrono>
#include <functional>
#include <memory>

// One board's calls, each on a thread of the board's own, so that a board that never answers
// holds up nobody for long: the caller waits at most the bound, the wait for a call given up on
// that is still stuck in the board included, so calls never queue behind a stuck one.
namespace devices::hid {

class BoundedCaller {
public:
    explicit BoundedCaller(std::chrono::milliseconds bound);
    // A call still stuck keeps its thread; the thread ends by itself if the call ever returns.
    ~BoundedCaller();
    BoundedCaller(const BoundedCaller&) = delete;
    BoundedCaller& operator=(const BoundedCaller&) = delete;

    // Runs the call on the board's thread. False when it did not end within the bound, or an
    // earlier call did not end within it (the call is then not run). What the call touches must
    // outlive it: after a false it may still run, and end, at any time.
    bool run(std::function<void()> call);

private:
    struct Shared;
    const std::chrono::milliseconds bound_;
    std::shared_ptr<Shared> shared_;
};

} // namespace devices::hid
