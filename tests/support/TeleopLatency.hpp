#pragma once

// The leader-to-follower latency of a teleoperation, counted in the sender's
// own record (SendTrace) rather than in time, so that it means the same on
// any machine: for each streamed step, the chain from the leader's feedback
// frame that measured a joint to the follower's command frame carrying that
// position, in the follower's control cycles. The streaming thread marks each
// hand-over (SendTrace::mark with the step's number) so that the chain splits
// into what came before the hand-over and what after.

#include <sys/types.h>

#include <cstddef>
#include <vector>

#include "support/SendTrace.hpp"

namespace qel::test {

// Who is who in the record.
struct TeleopParties {
    pid_t leader_arm = 0;        // the leader's motors: the thread that writes its feedback frames
    pid_t follower_control = 0;  // the follower's control thread
    int motor = 2;               // the motor (joint) whose position is followed
};

struct StepLatency {
    int step = 0;  // the mark's tag
    // Follower cycles begun after the leader's feedback frame, up to and
    // including the one whose command carried its position: 1 when the next
    // follower cycle sent it.
    int cycles = 0;
    // Of those, the cycles begun after the hand-over's mark: 1 when the
    // follower's next cycle took it. The mark is made just after the
    // hand-over, so a cycle that began in between and took it makes 0.
    int after_handover = 0;
};

// For every step whose position (`positions[step]`, the joint's value handed
// over at that mark) differs from the previous step's by at least two
// position quanta, so that it names one feedback frame and one command: the
// latest of the leader motor's last five feedback frames before the
// hand-over with that position, and the first command to the follower's
// motor after it carrying it (the same 16-bit position, give or take the one
// step the encoder's truncation may take) within five follower cycles. Steps
// without such a pair (a position held back to the catch-up speed is no
// leader measurement) are left out.
std::vector<StepLatency> teleopLatencies(const std::vector<SentEvent>& events, const TeleopParties& parties,
                                         const std::vector<double>& positions);

}  // namespace qel::test
