#pragma once

// A disk as slow as a test makes it: linking any of these takes fsync over in the whole
// process. A flush of a regular file waits while the gate is closed; every flush takes at least
// the delay set. Otherwise fsync is the real one.

#include <chrono>

namespace slowdisk {

void close();
void open();
// fsync calls on regular files so far, and of them, those waiting at the gate now.
int flushes();
int flushesHeld();
// Each flush takes this long at least (0: as long as the disk takes).
void setDelay(std::chrono::milliseconds delay);

} // namespace slowdisk
