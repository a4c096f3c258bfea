#pragma once

// Scheduling, CPU pinning and memory locking for the library's threads, kept
// apart from the controller so that any component that owns a thread (the bus
// adapter's receiver, the control loop, the pose search) can take the same
// settings without knowing who gives them.
//
// Everything is opt-in: a default-constructed ThreadSettings changes nothing,
// and the thread keeps what it inherited from the thread that created it.

#include <pthread.h>

#include <string>
#include <vector>

namespace qel::realtime {

// Scheduling of one thread.
struct ThreadSettings {
    enum class Policy { kInherit, kOther, kFifo, kRoundRobin };
    Policy policy = Policy::kInherit;  // kInherit: whatever the creating thread has
    int priority = 0;                  // 1 to 99 for kFifo and kRoundRobin, else 0
    std::vector<int> cpus;             // CPU numbers to pin to; empty: no pinning
    long timer_slack_ns = -1;          // the thread's timer slack; negative: unchanged
};

// What a setting the system refuses (no permission, no such CPU, a priority
// out of range) does: one clear warning and the thread runs without it, or an
// error for the owner to throw.
enum class OnRefusal { kWarn, kThrow };

// Applies policy, priority and CPU pinning of `settings` to `thread`, which
// may be another thread than the caller. Returns what the system refused, as
// readable text naming `who` ("" when everything was applied or nothing was
// asked).
std::string applyScheduling(pthread_t thread, const ThreadSettings& settings, const char* who);

// Names the calling thread (cut to the kernel's 15 characters) and applies the
// timer slack of `settings`, which only a thread can set for itself. Returns
// what was refused, as applyScheduling does.
std::string applyToCurrentThread(const ThreadSettings& settings, const char* name);

// Locks the process's current and future pages into memory, so that no page
// fault stalls a real-time thread. Returns what was refused ("" on success).
std::string lockMemory();

// Acts on `refused` (text from the functions above; nothing happens when it
// is empty): kWarn writes it once as a warning through the output component,
// kThrow throws std::runtime_error with it.
void handleRefusal(OnRefusal on_refusal, const std::string& refused);

}  // namespace qel::realtime
