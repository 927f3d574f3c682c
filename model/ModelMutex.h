#pragma once

#include <pthread.h>

namespace model {

// The model's locks: recursive, and priority-inheriting, so that while the sequencer's real-time
// thread waits for one, the ordinary thread that holds it (the window's, a server's) runs at the
// sequencer's priority and cannot be kept off the processor by other programs meanwhile.
class ModelMutex {
public:
    ModelMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&mutex_, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
    ~ModelMutex() { pthread_mutex_destroy(&mutex_); }
    ModelMutex(const ModelMutex&) = delete;
    ModelMutex& operator=(const ModelMutex&) = delete;

    void lock() { pthread_mutex_lock(&mutex_); }
    bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    pthread_mutex_t mutex_;
};

} // namespace model
