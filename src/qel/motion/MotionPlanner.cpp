#include "qel/motion/MotionPlanner.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <kdl/path_line.hpp>
#include <kdl/rotational_interpolation_sa.hpp>
#include <kdl/trajectory_segment.hpp>

namespace qel::m4::motion {
namespace {

// Trajectory pieces are checked against the limits at this step: a cubic
// between points can swing past both of them.
constexpr double kCheckStep = 0.001;  // s

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

std::string axisName(std::size_t i) {
    return i == kGripper ? std::string("the gripper") : "joint " + std::to_string(i + 1);
}

double lowerLimit(std::size_t i) { return control::kMotorLayout[i].lower; }
double upperLimit(std::size_t i) { return control::kMotorLayout[i].upper; }

// Why the fastest joint may not move at `speed` / `acceleration`; empty when
// it may.
std::string jointRateViolation(double speed, double acceleration, const char* what) {
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        const JointMotionLimit& limit = kJointMotionLimits[i];
        if (speed > limit.max_speed) {
            return std::string(what) + format(": speed %.3g rad/s is above the limit of %.3g rad/s",
                                              speed, limit.max_speed);
        }
        if (acceleration > limit.max_acceleration) {
            return std::string(what) + format(": acceleration %.3g rad/s² is above the limit of %.3g rad/s²",
                                              acceleration, limit.max_acceleration);
        }
    }
    return {};
}

std::string speedViolation(std::size_t i, double speed, const std::string& where) {
    return "needs " + axisName(i) + format(" at %.3g rad/s", std::fabs(speed)) + where +
           format("; the limit is %.3g rad/s", kJointMotionLimits[i].max_speed);
}

KDL::Frame toFrame(const Eigen::Isometry3d& pose) {
    KDL::Frame frame;
    for (int r = 0; r < 3; ++r) {
        frame.p(r) = pose.translation()(r);
        for (int c = 0; c < 3; ++c) frame.M(r, c) = pose.linear()(r, c);
    }
    return frame;
}

KDL::JntArray armArray(const Joints& q) {
    KDL::JntArray out(kArmJoints);
    for (std::size_t i = 0; i < kArmJoints; ++i) out(i) = q[i];
    return out;
}

// Velocities at the knots of the C2 cubic through (times[k], values[k]) with
// the given end velocities (a clamped spline): the continuity of the second
// derivative at each inner knot k gives
//   h_k v[k-1] + 2 (h_{k-1} + h_k) v[k] + h_{k-1} v[k+1]
//     = 3 (h_k (y_k - y_{k-1}) / h_{k-1} + h_{k-1} (y_{k+1} - y_k) / h_k),
// with h_k = times[k+1] - times[k]: a tridiagonal, diagonally dominant system.
std::vector<double> clampedSplineVelocities(const std::vector<double>& times,
                                            const std::vector<double>& values, double first_velocity,
                                            double last_velocity) {
    const std::size_t n = times.size();
    std::vector<double> v(n, 0.0);
    v.front() = first_velocity;
    v.back() = last_velocity;
    if (n < 3) return v;
    std::vector<double> lower(n), diag(n), upper(n), rhs(n);
    for (std::size_t k = 1; k + 1 < n; ++k) {
        const double h0 = times[k] - times[k - 1];
        const double h1 = times[k + 1] - times[k];
        lower[k] = h1;
        diag[k] = 2.0 * (h0 + h1);
        upper[k] = h0;
        rhs[k] = 3.0 * (h1 * (values[k] - values[k - 1]) / h0 + h0 * (values[k + 1] - values[k]) / h1);
    }
    rhs[1] -= lower[1] * v[0];
    rhs[n - 2] -= upper[n - 2] * v[n - 1];
    // Thomas algorithm.
    for (std::size_t k = 2; k + 1 < n; ++k) {
        const double w = lower[k] / diag[k - 1];
        diag[k] -= w * upper[k - 1];
        rhs[k] -= w * rhs[k - 1];
    }
    v[n - 2] = rhs[n - 2] / diag[n - 2];
    for (std::size_t k = n - 2; k-- > 1;) v[k] = (rhs[k] - upper[k] * v[k + 1]) / diag[k];
    return v;
}

}  // namespace

Joints jointVector(const std::vector<double>& values, const char* what, bool* has_gripper) {
    if (values.size() != kArmJoints && values.size() != kAxes) {
        throw std::invalid_argument(std::string(what) +
                                    ": expected six joint positions (seven with the gripper), got " +
                                    std::to_string(values.size()));
    }
    Joints q{};
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument(std::string(what) + ": entry " + std::to_string(i) +
                                        " is not a finite number");
        }
        q[i] = values[i];
    }
    *has_gripper = values.size() == kAxes;
    return q;
}

void requirePositive(double value, const char* what) {
    if (!std::isfinite(value) || !(value > 0.0)) {
        throw std::invalid_argument(std::string(what) + " must be a finite number above zero");
    }
}

void checkPose(const Eigen::Isometry3d& pose, const char* what) {
    if (!pose.matrix().allFinite()) {
        throw std::invalid_argument(std::string(what) + ": the pose must contain only finite numbers");
    }
    const Eigen::Matrix3d rotation = pose.linear();
    if (!(rotation.transpose() * rotation).isApprox(Eigen::Matrix3d::Identity(), 1e-6) ||
        rotation.determinant() < 0.0) {
        throw std::invalid_argument(std::string(what) + ": the pose's rotation part is not a rotation");
    }
}

std::string limitViolation(const Joints& q, bool has_gripper, const char* what) {
    const std::size_t axes = has_gripper ? kAxes : kArmJoints;
    for (std::size_t i = 0; i < axes; ++i) {
        if (q[i] < lowerLimit(i) || q[i] > upperLimit(i)) {
            return std::string(what) + ": " + axisName(i) +
                   format(" at %.4g is outside its range %.4g to %.4g", q[i], lowerLimit(i),
                          upperLimit(i));
        }
    }
    return {};
}

MotionPlanner::MotionPlanner(const std::string& urdf_path) : solver_(urdf_path, "base_link", "link6") {}

Eigen::Isometry3d MotionPlanner::forwardKinematics(const Joints& q) {
    const KDL::Frame frame = solver_.computeForwardKinematics(armArray(q));
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    for (int r = 0; r < 3; ++r) {
        pose.translation()(r) = frame.p(r);
        for (int c = 0; c < 3; ++c) pose.linear()(r, c) = frame.M(r, c);
    }
    return pose;
}

PlanResult MotionPlanner::planJoint(const std::vector<double>& goal_values, double speed,
                                    double acceleration, const StartState& start) {
    bool has_gripper = false;
    Joints goal = jointVector(goal_values, "moveJ", &has_gripper);
    requirePositive(speed, "moveJ: the speed");
    requirePositive(acceleration, "moveJ: the acceleration");
    PlanResult result;
    result.refusal = limitViolation(goal, has_gripper, "moveJ: the goal");
    if (result.refusal.empty()) result.refusal = jointRateViolation(speed, acceleration, "moveJ");
    if (!result.refusal.empty()) return result;
    if (!has_gripper) goal[kGripper] = start.position[kGripper];
    result.plan = std::make_unique<JointMovePlan>(start.position, goal, has_gripper, speed, acceleration);
    return result;
}

PlanResult MotionPlanner::planLine(const Eigen::Isometry3d& pose, double speed, double acceleration,
                                   const StartState& start) {
    checkPose(pose, "moveL");
    requirePositive(speed, "moveL: the speed");
    requirePositive(acceleration, "moveL: the acceleration");
    PlanResult result;
    if (speed > kMaxToolSpeed || acceleration > kMaxToolAcceleration) {
        result.refusal = format("moveL: %.3g m/s and %.3g m/s² exceed the tool's limits of %.3g m/s",
                                speed, acceleration, kMaxToolSpeed) +
                         format(" and %.3g m/s²", kMaxToolAcceleration);
        return result;
    }

    const KDL::Frame from = solver_.computeForwardKinematics(armArray(start.position));
    const KDL::Frame to = toFrame(pose);
    // Owned by the segment, with the path's rotation.
    KDL::Path_Line* line = new KDL::Path_Line(from, to, new KDL::RotationalInterpolation_SingleAxis(),
                                              kLineEquivalentRadius, true);
    const double length = line->PathLength();
    KDL::VelocityProfile_Trap* profile = new KDL::VelocityProfile_Trap(speed, acceleration);
    profile->SetProfile(0.0, length);
    const KDL::Trajectory_Segment segment(line, profile, true);
    const double duration = segment.Duration();
    if (duration > kMaxLineSeconds) {
        result.refusal = format("moveL: the line would take %.0f s, longer than %.0f s", duration,
                                kMaxLineSeconds);
        return result;
    }

    const std::size_t cycles = static_cast<std::size_t>(std::ceil(duration / kCycleSeconds - 1e-9));
    std::vector<Joints> table;
    table.reserve(cycles + 1);
    table.push_back(start.position);
    KDL::JntArray seed = armArray(start.position);
    KDL::JntArray solution(kArmJoints);
    for (std::size_t n = 1; n <= cycles; ++n) {
        const double t = std::min(static_cast<double>(n) * kCycleSeconds, duration);
        const double travelled = profile->Pos(t);
        const std::string where = format(" %.1f mm along the line", travelled * 1000.0);
        if (!solver_.solveInverseKinematics(segment.Pos(t), seed, solution)) {
            result.refusal = "moveL: the arm cannot reach the line" + where;
            return result;
        }
        Joints q = start.position;  // the gripper stays as it is
        for (std::size_t i = 0; i < kArmJoints; ++i) q[i] = solution(i);
        const std::string outside = limitViolation(q, false, "moveL");
        if (!outside.empty()) {
            result.refusal = outside + where;
            return result;
        }
        const double step = t - std::min(static_cast<double>(n - 1) * kCycleSeconds, duration);
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const double joint_speed = (q[i] - table.back()[i]) / step;
            if (std::fabs(joint_speed) > kJointMotionLimits[i].max_speed) {
                result.refusal = "moveL: the line " + speedViolation(i, joint_speed, where) +
                                 " (it passes close to a singularity, or is too fast)";
                return result;
            }
        }
        table.push_back(q);
        seed = solution;
    }
    result.plan = std::make_unique<LineMovePlan>(std::move(table), *profile, length, acceleration);
    return result;
}

TrajectoryInput parseTrajectory(const std::vector<TrajectoryPoint>& points) {
    constexpr const char* kWhat = "followJointTrajectory";
    if (points.empty()) throw std::invalid_argument("followJointTrajectory: the trajectory has no point");
    TrajectoryInput in;
    in.has_velocities = !points.front().velocities.empty();
    in.has_accelerations = !points.front().accelerations.empty();
    if (in.has_accelerations && !in.has_velocities) {
        throw std::invalid_argument(std::string(kWhat) + ": accelerations need velocities");
    }
    for (std::size_t k = 0; k < points.size(); ++k) {
        const TrajectoryPoint& point = points[k];
        const std::string name = std::string(kWhat) + ": point " + std::to_string(k);
        bool gripper = false;
        in.positions.push_back(jointVector(point.positions, (name + " positions").c_str(), &gripper));
        if (k == 0) in.has_gripper = gripper;
        if (gripper != in.has_gripper) {
            throw std::invalid_argument(name + ": every point needs the same number of positions");
        }
        auto field = [&](const std::vector<double>& values, bool given, const char* what) {
            if (given != !values.empty() || (given && values.size() != point.positions.size())) {
                throw std::invalid_argument(name + ": " + what +
                                            " must be given for every point or for none, as many as positions");
            }
            bool unused = false;
            return given ? jointVector(values, (name + " " + what).c_str(), &unused) : Joints{};
        };
        in.velocities.push_back(field(point.velocities, in.has_velocities, "velocities"));
        in.accelerations.push_back(field(point.accelerations, in.has_accelerations, "accelerations"));
        const double t = point.time_from_start;
        if (!std::isfinite(t) || t < 0.0) {
            throw std::invalid_argument(name + ": time_from_start must be a finite number, not negative");
        }
        if (k > 0 && !(t > in.times.back())) {
            throw std::invalid_argument(name + ": times must increase strictly from point to point");
        }
        in.times.push_back(t);
    }
    return in;
}

PlanResult MotionPlanner::planTrajectory(const TrajectoryInput& input, const StartState& start) {
    constexpr const char* kWhat = "followJointTrajectory";
    std::vector<Joints> positions = input.positions;
    std::vector<Joints> velocities = input.velocities;
    std::vector<Joints> accelerations = input.accelerations;
    const std::vector<double>& times = input.times;
    const bool has_gripper = input.has_gripper;
    const bool has_velocities = input.has_velocities;
    const bool has_accelerations = input.has_accelerations;
    PlanResult result;
    for (std::size_t k = 0; k < positions.size(); ++k) {
        const std::string name = std::string(kWhat) + ": point " + std::to_string(k);
        result.refusal = limitViolation(positions[k], has_gripper, name.c_str());
        if (!result.refusal.empty()) return result;
        for (std::size_t i = 0; i < kArmJoints && has_velocities; ++i) {
            if (std::fabs(velocities[k][i]) > kJointMotionLimits[i].max_speed) {
                result.refusal = name + " " + speedViolation(i, velocities[k][i], "");
                return result;
            }
        }
        if (!has_gripper) {
            positions[k][kGripper] = start.position[kGripper];
            velocities[k][kGripper] = 0.0;
            accelerations[k][kGripper] = 0.0;
        }
    }
    for (std::size_t i = 0; i < kAxes; ++i) {
        if (velocities.back()[i] != 0.0 || accelerations.back()[i] != 0.0) {
            result.refusal = std::string(kWhat) + ": the last point must be at rest (" + axisName(i) +
                             " has a velocity or acceleration there)";
            return result;
        }
    }

    // A first point at time 0 is where the trajectory starts: the set-point
    // takes its place, so it must be where the arm is.
    std::size_t first = 0;
    if (times.front() == 0.0) {
        for (std::size_t i = 0; i < kArmJoints; ++i) {
            const double off = std::fabs(positions.front()[i] - start.measured[i]);
            if (off > kTrajectoryStartTolerance) {
                result.refusal = std::string(kWhat) + ": the first point (at time 0) is" +
                                 format(" %.3g rad from the measured ", off) + axisName(i) +
                                 format(", more than %.3g rad", kTrajectoryStartTolerance);
                return result;
            }
        }
        first = 1;
        if (positions.size() == 1) {
            result.refusal = std::string(kWhat) + ": the trajectory has no point after time 0";
            return result;
        }
    }

    // The knots: the set-point now, then every point after time 0.
    std::vector<double> knot_times{0.0};
    std::vector<Joints> knot_positions{start.position};
    std::vector<Joints> knot_velocities{start.velocity};
    std::vector<Joints> knot_accelerations{Joints{}};
    for (std::size_t k = first; k < positions.size(); ++k) {
        knot_times.push_back(times[k]);
        knot_positions.push_back(positions[k]);
        knot_velocities.push_back(velocities[k]);
        knot_accelerations.push_back(accelerations[k]);
    }
    if (!has_gripper) knot_velocities.front()[kGripper] = 0.0;
    if (!has_velocities) {
        std::vector<double> values(knot_times.size());
        for (std::size_t i = 0; i < kAxes; ++i) {
            for (std::size_t k = 0; k < values.size(); ++k) values[k] = knot_positions[k][i];
            const std::vector<double> v =
                clampedSplineVelocities(knot_times, values, knot_velocities.front()[i], 0.0);
            for (std::size_t k = 1; k < values.size(); ++k) knot_velocities[k][i] = v[k];
        }
    }

    // The lead-in as the control thread will compute it, from where the
    // set-point is expected to be.
    Sample from{start.position, knot_velocities.front()};
    Sample anchor{knot_positions[1], knot_velocities[1]};
    CubicMove lead_in;
    lead_in.set(from, anchor, knot_times[1]);
    for (std::size_t i = 0; i < (has_gripper ? kAxes : kArmJoints); ++i) {
        double lowest = 0.0;
        double highest = 0.0;
        double fastest = 0.0;
        lead_in.extremes(i, &lowest, &highest, &fastest);
        const std::string where = format(" on the way to the first point (at %.3g s)", knot_times[1]);
        if (lowest < lowerLimit(i) || highest > upperLimit(i)) {
            result.refusal = std::string(kWhat) + ": " + axisName(i) + " would leave its range" + where;
            return result;
        }
        if (i < kArmJoints && fastest > kJointMotionLimits[i].max_speed) {
            result.refusal = std::string(kWhat) + ": the trajectory " + speedViolation(i, fastest, where);
            return result;
        }
    }

    std::vector<TrajectoryPlan::Piece> pieces;
    pieces.reserve(knot_times.size() - 2);
    for (std::size_t k = 1; k + 1 < knot_times.size(); ++k) {
        TrajectoryPlan::Piece piece;
        piece.begin = knot_times[k];
        piece.end = knot_times[k + 1];
        const double span = piece.end - piece.begin;
        for (std::size_t i = 0; i < kAxes; ++i) {
            if (has_accelerations) {
                piece.axes[i].SetProfileDuration(knot_positions[k][i], knot_velocities[k][i],
                                                 knot_accelerations[k][i], knot_positions[k + 1][i],
                                                 knot_velocities[k + 1][i], knot_accelerations[k + 1][i], span);
            } else {
                piece.axes[i].SetProfileDuration(knot_positions[k][i], knot_velocities[k][i],
                                                 knot_positions[k + 1][i], knot_velocities[k + 1][i], span);
            }
        }
        const int steps = static_cast<int>(std::ceil(span / kCheckStep));
        for (int s = 0; s <= steps; ++s) {
            const double local = std::min(s * kCheckStep, span);
            for (std::size_t i = 0; i < (has_gripper ? kAxes : kArmJoints); ++i) {
                const double q = piece.axes[i].Pos(local);
                const double v = piece.axes[i].Vel(local);
                const std::string where = format(" at %.3f s", piece.begin + local);
                if (q < lowerLimit(i) || q > upperLimit(i)) {
                    result.refusal = std::string(kWhat) + ": " + axisName(i) + format(" would reach %.4g", q) +
                                     where + format(", outside its range %.4g to %.4g", lowerLimit(i), upperLimit(i));
                    return result;
                }
                if (i < kArmJoints && std::fabs(v) > kJointMotionLimits[i].max_speed) {
                    result.refusal = std::string(kWhat) + ": the trajectory " + speedViolation(i, v, where);
                    return result;
                }
            }
        }
        pieces.push_back(piece);
    }
    result.plan = std::make_unique<TrajectoryPlan>(std::move(pieces), knot_times[1], anchor,
                                                   knot_positions.back(), has_gripper);
    return result;
}

}  // namespace qel::m4::motion
