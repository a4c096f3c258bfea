#pragma once

// Turns a host's motion request into a plan, on the host's thread: checks the
// input (malformed input throws std::invalid_argument), computes the whole
// motion and checks it against the joint limits, the speed limits and (for
// lines) the arm's reach at every cycle, before anything moves. A request
// that is well formed but cannot be done comes back as a refusal with the
// reason, and no plan.

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "qel/motion/MotionPlan.hpp"
#include "qel/motion/MotionTypes.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

namespace qel::m4::motion {

// Where the set-point is when the plan will start, as far as the host
// knows: the newest set-point the control thread published, its velocity,
// and the measured joints.
struct StartState {
    Joints position{};
    Joints velocity{};
    Joints measured{};
};

struct PlanResult {
    std::unique_ptr<MotionPlan> plan;  // empty when refused
    std::string refusal;               // why, when refused
};

// A joint vector from a host: six arm joints (rad) and an optional gripper
// target. Throws std::invalid_argument naming `what` for another length or a
// non-finite entry.
Joints jointVector(const std::vector<double>& values, const char* what, bool* has_gripper);
// Throws std::invalid_argument unless `value` is finite and above zero.
void requirePositive(double value, const char* what);
// Throws std::invalid_argument naming `what` unless `pose` is finite and its
// rotation part is a rotation.
void checkPose(const Eigen::Isometry3d& pose, const char* what);
// Why `q` (seven axes, or six when has_gripper is false) lies outside the
// joint limits or the gripper's range; empty when it does not.
std::string limitViolation(const Joints& q, bool has_gripper, const char* what);

// A host's trajectory, checked for form: same lengths throughout, finite
// numbers, times from 0 on and strictly increasing.
struct TrajectoryInput {
    std::vector<Joints> positions;
    std::vector<Joints> velocities;     // zeros when not given
    std::vector<Joints> accelerations;  // zeros when not given
    std::vector<double> times;
    bool has_gripper = false;
    bool has_velocities = false;
    bool has_accelerations = false;
};
// Throws std::invalid_argument, saying which point and why, for a malformed
// trajectory.
TrajectoryInput parseTrajectory(const std::vector<TrajectoryPoint>& points);

class MotionPlanner {
public:
    // Builds a solver of its own from the robot description at `urdf_path`
    // (the control thread's solver is busy every cycle). Throws what the
    // solver throws.
    explicit MotionPlanner(const std::string& urdf_path);

    // moveJ from `start` to `goal` (6 or 7 entries) with the fastest joint at
    // most `speed` and `acceleration`.
    PlanResult planJoint(const std::vector<double>& goal, double speed, double acceleration,
                         const StartState& start);
    // moveL from the pose of the start set-point to `pose` (relative to the
    // zero pose, as the controller's poses are), `speed` in m/s and
    // `acceleration` in m/s² along the path.
    PlanResult planLine(const Eigen::Isometry3d& pose, double speed, double acceleration,
                        const StartState& start);
    // followJointTrajectory. Times are from the start of the plan.
    PlanResult planTrajectory(const TrajectoryInput& input, const StartState& start);

    // The pose (relative to the zero pose) of six joint angles, by this
    // planner's solver.
    Eigen::Isometry3d forwardKinematics(const Joints& q);

private:
    KinematicDynamicSolver solver_;
};

}  // namespace qel::m4::motion
