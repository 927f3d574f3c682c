#include "support/SlowDisk.h"

#include <atomic>
#include <condition_variable>
#include <dlfcn.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace slowdisk {
namespace {

std::mutex lock;
std::condition_variable opened;
bool closed = false;
int fileFlushes = 0;
int held = 0;
std::atomic<int> delayMs{0};

} // namespace

void close() {
    const std::lock_guard guard(lock);
    closed = true;
}

void open() {
    {
        const std::lock_guard guard(lock);
        closed = false;
    }
    opened.notify_all();
}

int flushes() {
    const std::lock_guard guard(lock);
    return fileFlushes;
}

int flushesHeld() {
    const std::lock_guard guard(lock);
    return held;
}

void setDelay(std::chrono::milliseconds delay) {
    delayMs = static_cast<int>(delay.count());
}

} // namespace slowdisk

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    if (const int ms = slowdisk::delayMs.load(); ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        std::unique_lock guard(slowdisk::lock);
        ++slowdisk::fileFlushes;
        ++slowdisk::held;
        // Bounded, so that a save made under the model's lock fails the test instead of hanging.
        slowdisk::opened.wait_for(guard, std::chrono::seconds(5), [] { return !slowdisk::closed; });
        --slowdisk::held;
    }
    return real(fd);
}
