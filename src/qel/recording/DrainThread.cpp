#include "qel/recording/DrainThread.hpp"

#include <pthread.h>
#include <sched.h>

#include "qel/realtime/ThreadSettings.hpp"

namespace qel::recording {

DrainThread::DrainThread(std::mutex& mutex, std::chrono::milliseconds period, const char* name,
                         std::function<void()> drain)
    : mutex_(mutex) {
    thread_ = std::thread([this, period, name, drain = std::move(drain)] {
        sched_param ordinary{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
        realtime::applyToCurrentThread(realtime::ThreadSettings{}, name);
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            drain();
            wake_.wait_for(lock, period, [this] { return quit_; });
        }
    });
}

DrainThread::~DrainThread() { stop(); }

void DrainThread::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

}  // namespace qel::recording
