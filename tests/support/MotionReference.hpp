#pragma once

// What the motion tests compare against, written from the requirements
// rather than taken from the motion layer: the synchronised trapezoid of a
// joint move, the geometry of a straight line, and the numbers the
// requirements give.

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <Eigen/Geometry>

namespace qel::test {

// One control cycle: motion time advances by this much per cycle.
inline constexpr double kCycle = 0.005;  // s
// Arm joint limits (rad), written out as in the controller tests.
inline constexpr double kJointLower[6] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295};
inline constexpr double kJointUpper[6] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295};
// The joints' speed limit for every motion, and how far past the point where
// a stream breaks off its set-point may go once braking.
inline constexpr double kJointSpeedLimit = 3.0;    // rad/s
inline constexpr double kStreamStopDistance = 0.003;  // rad

// A trapezoidal profile from rest to rest over `length` with at most
// `speed` and `acceleration` (triangular when the way is too short to reach
// `speed`).
struct Trapezoid {
    double length;
    double speed;
    double acceleration;

    bool reachesSpeed() const { return length * acceleration >= speed * speed; }
    double rampTime() const { return reachesSpeed() ? speed / acceleration : std::sqrt(length / acceleration); }
    double duration() const {
        return reachesSpeed() ? length / speed + speed / acceleration : 2.0 * rampTime();
    }
    double peak() const { return acceleration * rampTime(); }
    double position(double t) const {
        const double T = duration();
        const double ramp = rampTime();
        if (t <= 0.0) return 0.0;
        if (t >= T) return length;
        if (t < ramp) return 0.5 * acceleration * t * t;
        if (t > T - ramp) return length - 0.5 * acceleration * (T - t) * (T - t);
        return 0.5 * acceleration * ramp * ramp + peak() * (t - ramp);
    }
    double velocity(double t) const {
        const double T = duration();
        const double ramp = rampTime();
        if (t <= 0.0 || t >= T) return 0.0;
        if (t < ramp) return acceleration * t;
        if (t > T - ramp) return acceleration * (T - t);
        return peak();
    }
};

// A joint move as the requirement states it: every joint on one profile
// scaled by its share of the longest way.
struct JointMoveReference {
    std::array<double, 6> from;
    std::array<double, 6> to;
    Trapezoid profile;

    JointMoveReference(const std::array<double, 6>& a, const std::array<double, 6>& b, double speed,
                       double acceleration)
        : from(a), to(b), profile{0.0, speed, acceleration} {
        for (int i = 0; i < 6; ++i) profile.length = std::max(profile.length, std::fabs(b[i] - a[i]));
    }
    double position(int joint, double t) const {
        return from[joint] + (to[joint] - from[joint]) * profile.position(t) / profile.length;
    }
    double velocity(int joint, double t) const {
        return (to[joint] - from[joint]) * profile.velocity(t) / profile.length;
    }
};

// Distance of `p` from the segment a–b.
inline double distanceFromSegment(const Eigen::Vector3d& p, const Eigen::Vector3d& a, const Eigen::Vector3d& b) {
    const Eigen::Vector3d ab = b - a;
    const double s = std::clamp((p - a).dot(ab) / ab.squaredNorm(), 0.0, 1.0);
    return (a + s * ab - p).norm();
}

}  // namespace qel::test
