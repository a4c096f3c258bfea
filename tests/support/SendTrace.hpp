#pragma once

// What the code under test did on the CAN sockets, as it did it: every frame
// written (write, sendmmsg) and every pause taken (usleep, nanosleep,
// clock_nanosleep), in call order, with the calling thread. Linking this into
// a test executable replaces those calls by recording wrappers around the
// real ones; a definition in the executable overrides the C library for the
// shared libraries it loads too. It works on the kernel's CAN sockets and on
// the in-process bus alike.
//
// Because the record is taken in the sender, it does not depend on when a
// reader got round to reading the bus: "seven frames, 200 µs apart" is
// checked as the sequence of calls, on any machine at any load.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qel/canbase/CanBaseDef.hpp"

namespace qel::test {

using hw_interface::CanFrame;

// One call of the sender, or a mark the test set.
struct SentEvent {
    enum Kind { kFrame, kPause, kMark };
    Kind kind = kFrame;
    pid_t thread = 0;          // kernel thread id of the caller
    int64_t time_ns = 0;       // monotonic clock when the call was made
    int fd = -1;               // kFrame: the CAN socket written to
    bool written = false;      // kFrame: the whole frame was accepted
    CanFrame frame{};          // kFrame: the bytes written
    int64_t pause_us = 0;      // kPause: the requested pause in µs
    int64_t deadline_ns = 0;   // kPause: the monotonic deadline of an absolute sleep, else 0
    int mark = 0;              // kMark: the test's tag
};

// Records while it exists; one at a time per process. Recording is lock-free
// and bounded (kCapacity events; later events are counted in overflowed()).
class SendTrace {
public:
    static constexpr std::size_t kCapacity = 1 << 18;

    SendTrace();
    // Records only the calls of thread `only` (and its marks): a long run
    // of one thread fits in the record where the whole process's would not.
    explicit SendTrace(pid_t only);
    ~SendTrace();
    SendTrace(const SendTrace&) = delete;
    SendTrace& operator=(const SendTrace&) = delete;

    // Stops recording; events() keeps what was recorded.
    void stop();
    // Records a mark with `tag` on the calling thread, in order with its
    // calls (for example from an output sink, to place a printed line); does
    // nothing while no trace records.
    static void mark(int tag);
    // Everything recorded so far, in call order.
    std::vector<SentEvent> events() const;
    // The events of one thread.
    std::vector<SentEvent> eventsOf(pid_t thread) const;
    // The frames (not pauses) of one thread, or of every thread for 0.
    std::vector<CanFrame> framesOf(pid_t thread) const;
    // Events lost because the record was full.
    std::size_t overflowed() const;

    // The calling thread's kernel thread id.
    static pid_t currentThread();
};

// Checks the absolute sleeps among `events` (one thread's record) against the
// pacing of a periodic loop: each deadline one period after the previous
// one, or, after an overrun, re-anchored one period after the moment the
// overrunning cycle ended, which lies after that cycle's due time and before
// the sleep was called. Needs no on-time cycle, so it holds on a machine too
// slow for any. One line per violation; empty when there is none.
std::string pacingViolations(const std::vector<SentEvent>& events, int64_t period_ns);

// The events as "W1 P200 W2 P200 ...": W and the identifier for a frame
// (W!1 for a frame the socket refused), P and the pause in µs, M and the tag
// for a mark.
std::string sequence(const std::vector<SentEvent>& events);

}  // namespace qel::test
