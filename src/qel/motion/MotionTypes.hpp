#pragma once

// The records a host exchanges with the motion operations (moveJ, moveL,
// followJointTrajectory, servoJ, stopMotion, motionStatus, waitMotion) of
// ControllerThread and the public interfaces.

#include <string>
#include <vector>

namespace qel::m4 {

// One time-stamped point of a joint trajectory, in the shape trajectory
// planners produce. `positions` holds the six arm joints (rad) and, as an
// optional seventh entry, the gripper's position target (from its calibrated
// zero, in its motor's unit). `velocities` is empty (the interpolation chooses
// them) or holds as many entries as `positions` (rad/s); `accelerations`
// likewise (rad/s², only together with velocities), which makes the pieces
// between points quintic instead of cubic. `time_from_start` is in seconds
// from the start of the trajectory.
struct TrajectoryPoint {
    std::vector<double> positions;
    std::vector<double> velocities;
    std::vector<double> accelerations;
    double time_from_start = 0.0;
};

// What the motion layer is doing, or how its last motion ended.
enum class MotionState : int {
    kIdle = 0,     // no motion since construction
    kMoving = 1,   // a motion (or a servo stream) is running
    kDone = 2,     // the last motion finished at its goal
    kStopped = 3,  // stopMotion ended it; the arm holds where it came to rest
    kRefused = 4,  // the last request could not be done; nothing moved
    kAborted = 5,  // a state change, dampNow, a fault or a newer motion ended it
};

// Which operation the status is about.
enum class MotionKind : int {
    kNone = 0,
    kJoint = 1,       // moveJ
    kLine = 2,        // moveL
    kTrajectory = 3,  // followJointTrajectory
    kServo = 4,       // servoJ
};

struct MotionStatus {
    MotionState state = MotionState::kIdle;
    MotionKind kind = MotionKind::kNone;
    // Why a motion was refused, aborted or stopped; empty otherwise.
    std::string reason;
    // Share of the motion's planned duration elapsed, 0 to 1 (1 once done).
    double progress = 0.0;
};

}  // namespace qel::m4
