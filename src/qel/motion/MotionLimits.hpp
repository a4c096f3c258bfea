#pragma once

// The numbers the motion layer plans and checks with. Joint position limits
// are the controller's own (control::kMotorLayout); what is here is what a
// motion adds: how fast, how close, how long.

#include <array>
#include <cstddef>
#include <cstdint>

#include "qel/controller/ControlLaw.hpp"

namespace qel::m4::motion {

inline constexpr std::size_t kArmJoints = control::kArmJoints;
inline constexpr std::size_t kAxes = control::kMotors;  // six joints and the gripper
inline constexpr std::size_t kGripper = control::kGripper;

// One set-point per control cycle: motion time advances by this much per
// cycle, whatever the wall clock does (ControllerThread checks that its rate
// matches).
inline constexpr double kCycleSeconds = 1.0 / 200.0;
inline constexpr int64_t kCycleNanos = 5'000'000;

// How fast any motion may drive a joint, and the largest acceleration a
// moveJ may ask for. The motors' command range reaches 45 rad/s, far beyond
// what the arm's links should see; these are the arm's working limits.
struct JointMotionLimit {
    double max_speed;         // rad/s
    double max_acceleration;  // rad/s²
};
inline constexpr std::array<JointMotionLimit, kArmJoints> kJointMotionLimits{{
    {3.0, 30.0},
    {3.0, 30.0},
    {3.0, 30.0},
    {3.0, 30.0},
    {3.0, 30.0},
    {3.0, 30.0},
}};

// The tool along a moveL line: its largest speed and acceleration, and how a
// turn of the tool counts against them: one radian of rotation is the path of
// a point this far from the rotation axis.
inline constexpr double kMaxToolSpeed = 1.0;          // m/s
inline constexpr double kMaxToolAcceleration = 10.0;  // m/s²
inline constexpr double kLineEquivalentRadius = 0.1;  // m per rad
// A moveL is tabulated one set-point per cycle; slower than this it would
// fill memory for nothing.
inline constexpr double kMaxLineSeconds = 600.0;

// A motion has arrived when every measured arm joint is within this of its
// goal and slower than kRestVelocity in the same cycle; an arm that does not
// get there within kSettleSeconds after the set-point arrived ends the motion
// as aborted (it is blocked, or carries a load it cannot hold).
inline constexpr double kArrivalTolerance = 0.02;  // rad
inline constexpr double kRestVelocity = 0.05;      // rad/s
inline constexpr double kSettleSeconds = 3.0;

// moveJ and moveL start from a set-point at rest. Position control's rate
// limiter dithers around its target by up to a millimetre-radian per cycle
// (0.18 rad/s); below this speed a state's set-point counts as at rest.
inline constexpr double kRestSpeed = 0.25;  // rad/s
// How far the set-point may have moved between planning and the start (the
// dither above) before a plan made for a start at rest is refused.
inline constexpr double kStartDrift = 0.005;  // rad

// A trajectory whose first point has time_from_start 0 starts there: that
// point must lie this close to every measured arm joint.
inline constexpr double kTrajectoryStartTolerance = 0.05;  // rad

// servoJ: a stream is continued while targets keep coming; the set-point
// reaches each target `time` after the cycle that took it, then keeps the
// stream's velocity for kServoGraceCycles more (a target a little late
// changes nothing) and, if no target has come by then, brakes and holds. A
// stream that breaks off is a host gone quiet: the arm must not coast on.
// The braking brings the set-point to rest within kServoStopDistance (fastest
// joint) at a deceleration between the two bounds: gently from a slow
// stream, hard from a fast one. At 0.63 rad/s (a 0.2 rad, 0.5 Hz sine) the
// set-point then passes the last target by 6 mrad, and the arm, which lags
// the set-point by its friction, by under 0.02 rad. A target more than
// kServoMaxSeconds ahead is refused.
inline constexpr int kServoGraceCycles = 1;
inline constexpr double kServoStopDistance = 0.003;           // rad
inline constexpr double kServoMinStopDeceleration = 10.0;     // rad/s²
inline constexpr double kServoMaxStopDeceleration = 100.0;    // rad/s²
// The deceleration that stops a stream moving at `speed` (rad/s).
constexpr double servoStopDeceleration(double speed) {
    const double d = speed * speed / (2.0 * kServoStopDistance);
    return d < kServoMinStopDeceleration ? kServoMinStopDeceleration
                                         : (d > kServoMaxStopDeceleration ? kServoMaxStopDeceleration : d);
}
inline constexpr double kServoMaxSeconds = 10.0;
// A target later than this after the previous one starts a new stream (its
// velocity feed-forward starts from zero again).
inline constexpr double kServoStreamGapSeconds = 0.1;

// stopMotion() without a deceleration: a move stops at its own
// acceleration, a trajectory at this (fastest joint), a stream as when it
// breaks off.
inline constexpr double kTrajectoryStopDeceleration = 5.0;  // rad/s²
// A motion that a new move replaces is brought to rest at its own default,
// but never slower than this (the fastest joint, or the tool for a line):
// a move planned with a tiny acceleration would otherwise hold the new one
// up for minutes.
inline constexpr double kReplaceJointDeceleration = 5.0;  // rad/s²
inline constexpr double kReplaceToolDeceleration = 1.0;   // m/s²

}  // namespace qel::m4::motion
