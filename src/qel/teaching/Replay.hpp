#pragma once

// Replaying a taught motion (docs/recording.md, "Replay"): a cycle recording
// is read and checked before anything moves, its joint path reduced to a
// time-stamped trajectory within a stated distance of every recorded sample,
// and played on a running arm with the motion operations: a joint move to
// the first posture, then the trajectory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/motion/MotionTypes.hpp"

namespace qel::m4 {

// Thrown when a recording cannot be replayed; what() says why, naming the
// file (it cannot be read, is not a cycle recording, comes from another robot
// variant, leaves the joint limits, or is too short).
class ReplayRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The replayed trajectory passes within this of every recorded sample, on
// every joint (rad) and on the gripper (its motor's unit).
inline constexpr double kReplayTolerance = 0.002;
// Samples at most this far beyond a joint limit (a joint resting on its end
// stop, read through the position quantum) are taken at the limit; further
// out the recording is refused. The gripper gets kReplayGripperSlack beyond
// its range of 0 to 5 (pressed shut it reads a little below its zero).
inline constexpr double kReplayLimitSlack = 0.001;   // rad
inline constexpr double kReplayGripperSlack = 0.1;   // its motor's unit
// The joint move to the recording's first posture.
inline constexpr double kReplayApproachSpeed = 0.5;         // rad/s
inline constexpr double kReplayApproachAcceleration = 1.0;  // rad/s²
// The trajectory holds the first posture this long before the recorded path
// begins: the motion layer leads in from position control's set-point,
// which dithers by up to a millirad a cycle about the posture (0.2 rad/s),
// and that lead-in belongs to the approach, not to the path. Over a longer
// first piece the same velocity would bend the path's start by several
// millirad.
inline constexpr double kReplaySettle = 0.1;  // s

struct ReplayOptions {
    // The variant of the arm that replays; a recording from another one is
    // refused.
    int robot_variant = 0;
    // 2 plays twice as fast, 0.5 half as fast (the same path).
    double speed = 1.0;
    double tolerance = kReplayTolerance;
};

struct ReplayPlan {
    // Seven entries: the first replayed sample, joints and gripper.
    std::vector<double> first_posture;
    // With velocities, from the first posture (time 0), held there for
    // kReplaySettle, then the recorded path at the replay's speed, to rest.
    std::vector<TrajectoryPoint> points;
    // The recorded cycles replayed: how many, and the first and the last
    // cycle number (missing numbers are cycles the recorder lost; the
    // trajectory passes through the gap).
    std::size_t samples = 0;
    uint64_t first_cycle = 0;
    uint64_t last_cycle = 0;
    double duration_s = 0.0;  // of the trajectory, at the speed
    // The largest distance of the trajectory from a sample (at most the
    // tolerance).
    double deviation = 0.0;
    // Samples taken at a limit (see kReplayLimitSlack).
    std::size_t clamped = 0;
};

// Reads the cycle recording at `path` (HDF5, as startRecording writes it)
// and plans the replay of its taught part: the cycles from the first to the
// last one in gravity compensation (state 3), or every cycle if none is,
// ending before the first cycle with a latched fault. Times are the cycles'
// recorded start times (monotonic clock): the path is played at the pace it
// was taught, also where the recording's cycles ran late. Throws
// ReplayRefused (nothing has moved) for a file that cannot be read or is not
// a cycle recording, a recording from another robot variant than
// options.robot_variant, fewer than two cycles to replay, or a sample beyond
// a joint limit (naming the joint, when, and by how much);
// std::invalid_argument for a speed or tolerance that is not finite and
// above zero.
ReplayPlan planReplay(const std::string& path, const ReplayOptions& options);

// How a replay ended.
enum class ReplayOutcome {
    kDone,     // arrived at the recording's last posture
    kStopped,  // stopped on request, brought to rest along the path
    kRefused,  // the motion layer refused the move or the trajectory (nothing of it moved)
    kFailed,   // a fault or a state change ended it
};

struct ReplayResult {
    ReplayOutcome outcome = ReplayOutcome::kDone;
    std::string reason;  // the motion layer's, unless done
};

enum class ReplayPhase { kApproach, kFollow };

// Plays `plan` on `arm`, which runs in an active state (going home, pose or
// position control): a joint move to the first posture, then the trajectory;
// `on_phase` (may be empty) is called as each begins. `stop` is polled every
// 10 ms: once true, the running motion is stopped at the motion layer's
// default deceleration and the call returns kStopped when the arm has come to
// rest. Afterwards position control holds the arm where it ended; damping it
// is the caller's part.
ReplayResult runReplay(InterfacesThread& arm, const ReplayPlan& plan, const std::function<bool()>& stop,
                       const std::function<void(ReplayPhase)>& on_phase = {});

}  // namespace qel::m4
