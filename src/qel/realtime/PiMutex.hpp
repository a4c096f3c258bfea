#pragma once

// A mutex for data the real-time threads share with slower ones. Its holder
// inherits the priority of the highest-priority thread waiting for it
// (PTHREAD_PRIO_INHERIT): a host thread holding it for a copy cannot be kept
// off the CPU by medium-priority work while the control thread waits. Hold it
// for a copy only: never across an allocation, an output call, a callback or
// another lock.
//
// Uncontended it costs what a plain mutex does (one atomic operation each
// way). Where the kernel has no priority-inheriting futexes it is a plain
// mutex.

#include <pthread.h>

namespace qel::realtime {

class PiMutex {
public:
    PiMutex() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
        inherits_ = pthread_mutex_init(&mutex_, &attributes) == 0;
        if (!inherits_) pthread_mutex_init(&mutex_, nullptr);
        pthread_mutexattr_destroy(&attributes);
    }
    ~PiMutex() { pthread_mutex_destroy(&mutex_); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    // For std::lock_guard and std::unique_lock.
    void lock() { pthread_mutex_lock(&mutex_); }
    bool try_lock() { return pthread_mutex_trylock(&mutex_) == 0; }
    void unlock() { pthread_mutex_unlock(&mutex_); }

    // False where the system refused priority inheritance.
    bool inheritsPriority() const { return inherits_; }

private:
    pthread_mutex_t mutex_;
    bool inherits_ = false;
};

}  // namespace qel::realtime
