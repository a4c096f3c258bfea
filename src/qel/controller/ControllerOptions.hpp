#pragma once

// Settings a host may give a controller before it starts. Everything here is
// opt-in: a default-constructed record gives exactly the behaviour of the
// three-argument constructors.

#include <atomic>
#include <memory>
#include <vector>

#include "qel/realtime/ThreadSettings.hpp"

namespace qel::m4 {

// Scheduling of one of the library's threads (policy, priority, CPUs, timer
// slack); see qel/realtime/ThreadSettings.hpp.
using ThreadSettings = realtime::ThreadSettings;
using OnRefusal = realtime::OnRefusal;

// Real-time settings for running on real hardware; docs/realtime.md gives the
// recommended values. Refusals are handled as `on_refusal` says: the default
// writes one warning per refused setting and runs without it.
struct RealtimeOptions {
    ThreadSettings control;  // the 200 Hz control thread
    ThreadSettings receive;  // the CAN receive thread
    // The end-effector pose search; keep it below both. Left at kInherit it
    // runs with ordinary scheduling at niceness 10, whatever the
    // constructing thread had.
    ThreadSettings search;
    bool lock_memory = false;  // mlockall(MCL_CURRENT | MCL_FUTURE) before any thread starts
    // The control loop sleeps to each cycle's deadline; a positive margin
    // makes it sleep until this long before the deadline and spin the rest,
    // which costs a busy core for less wake-up jitter. 0 to just below the
    // 5 ms period: a margin of a whole period or more would leave no sleep
    // at all and is refused (see checkOptions).
    long spin_ns = 0;
    using OnRefusal = realtime::OnRefusal;
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

// Throws std::invalid_argument, naming the setting, for options no controller
// can run with: a negative spin margin, or one of the whole 5 ms period or
// more. The controllers check their options with it before anything starts.
void checkOptions(const ControllerOptions& options);

}  // namespace qel::m4
