#include "model/LabelSaver.h"

#include "model/LabelFile.h"

#include <QDir>

namespace labels {

LabelSaver::~LabelSaver() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void LabelSaver::save(const QString& path, const LabelTable& table) {
    const QString absolute = QDir::current().absoluteFilePath(path);
    {
        const std::lock_guard lock(mutex_);
        if (!pending_.empty() && pending_.back().first == absolute)
            pending_.back().second = table;
        else
            pending_.emplace_back(absolute, table);
    }
    start();
    changed_.notify_all();
}

void LabelSaver::start() {
    const std::lock_guard lock(mutex_);
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void LabelSaver::flush() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return pending_.empty() && !writing_; });
}

// Leaves only when nothing is left to write, so that the last table reaches the disk before the
// program ends.
void LabelSaver::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || !pending_.empty(); });
        if (pending_.empty())
            return;
        const auto [path, table] = std::move(pending_.front());
        pending_.pop_front();
        writing_ = true;
        lock.unlock();
        writeLabelsFile(path, table);
        lock.lock();
        writing_ = false;
        changed_.notify_all();
    }
}

} // namespace labels
