#pragma once

// Settings a host may give a controller before it starts. Everything here is
// opt-in: a default-constructed record gives exactly the behaviour of the
// three-argument constructors.

#include <atomic>
#include <memory>
#include <vector>

namespace qel::m4 {

// Scheduling of one of the library's threads.
struct ThreadSettings {
    enum class Policy { kInherit, kOther, kFifo, kRoundRobin };
    Policy policy = Policy::kInherit;  // kInherit: whatever the constructing thread has
    int priority = 0;                  // 1 to 99 for kFifo and kRoundRobin
    std::vector<int> cpus;             // CPU numbers to pin to; empty: no pinning
};

// Real-time settings for running on real hardware.
struct RealtimeOptions {
    ThreadSettings control;  // the 200 Hz control thread
    ThreadSettings receive;  // the CAN receive thread
    bool lock_memory = false;        // mlockall(MCL_CURRENT | MCL_FUTURE) before the threads start
    long timer_slack_ns = -1;        // the control thread's timer slack; negative: unchanged
    // What a setting the system refuses (no permission, no such CPU) does:
    // one clear warning and the library goes on, or std::runtime_error from
    // the constructor.
    enum class OnRefusal { kWarn, kThrow };
    OnRefusal on_refusal = OnRefusal::kWarn;
};

// Lets another thread (or a signal handler, through cancel()) abandon a
// start-up that is still homing: construction then damps the arm and throws.
class StartupCancel {
public:
    // Async-signal-safe.
    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }

private:
    std::atomic<bool> cancelled_{false};
};

struct ControllerOptions {
    RealtimeOptions realtime;
    // Shared with the host, which may keep it to cancel start-up; empty: no
    // cancellation.
    std::shared_ptr<StartupCancel> cancel;
};

}  // namespace qel::m4
