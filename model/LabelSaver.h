#pragma once

#include "model/LabelTable.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace labels {

// Writes labels.dat on a thread of its own, so that whoever saves never waits for the disk (a
// flush to the disk can take hundreds of milliseconds). Saves that come faster than the disk
// takes them coalesce: only the newest table for a file is written. Each save writes the file as
// writeLabelsFile does, whole or not at all, and a failed save stays silent.
class LabelSaver {
public:
    LabelSaver() = default;
    // Waits until every table handed over is written.
    ~LabelSaver();
    LabelSaver(const LabelSaver&) = delete;
    LabelSaver& operator=(const LabelSaver&) = delete;

    // Hands the table over for the file at path, taken as it names a file now (a relative path
    // from the current folder), and returns at once.
    void save(const QString& path, const LabelTable& table);
    // Returns once every table handed over so far is on the disk, or has failed to get there.
    void flush();
    // Starts the writer's thread ahead of the first save, so that no save pays for it.
    void start();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<QString, LabelTable>> pending_; // oldest first, one per file in a row
    bool writing_ = false;
    bool quit_ = false;
    std::thread thread_; // started by the first save
};

} // namespace labels
