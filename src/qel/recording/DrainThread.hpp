#pragma once

// The thread of a recorder: ordinary scheduling whatever the thread that
// made the recorder had (file writing must never compete with a control
// thread), calling the recorder's drain every period with its lock held,
// until stopped.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qel::recording {

class DrainThread {
public:
    // Starts the thread, named `name` (at most 15 characters). `drain` runs
    // with `mutex` held.
    DrainThread(std::mutex& mutex, std::chrono::milliseconds period, const char* name, std::function<void()> drain);
    // stop().
    ~DrainThread();
    DrainThread(const DrainThread&) = delete;
    DrainThread& operator=(const DrainThread&) = delete;

    // Ends the thread after the drain that runs, if one does; later calls
    // do nothing. Not with `mutex` held.
    void stop();

private:
    std::mutex& mutex_;
    std::condition_variable wake_;
    bool quit_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace qel::recording
