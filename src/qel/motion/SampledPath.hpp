#pragma once

// A joint path sampled every cycle (a recording of the measured arm) turned
// into the few time-stamped points followJointTrajectory needs to play it
// back, within a stated distance of every sample.

#include <cstddef>
#include <vector>

#include "qel/motion/MotionTypes.hpp"

namespace qel::m4 {

struct ReducedPath {
    // Points with positions and velocities (cubic pieces between them, as
    // followJointTrajectory interpolates such points), the first at time 0,
    // the first and the last at rest.
    std::vector<TrajectoryPoint> points;
    // The largest distance, on any axis, between a sample and the pieces at
    // the sample's time (rad; the gripper in its own unit): at most the
    // tolerance asked for.
    double deviation = 0.0;
};

// Reduces samples of a path to the fewest points (greedily, piece by piece:
// each piece reaches as far as it can while every sample it spans stays
// within `tolerance` of it) whose cubic pieces pass within `tolerance` of
// every sample, on every axis. `times` in seconds, strictly increasing, from
// any origin (the points count from the first); `samples` one per time, all
// with six joint positions (rad) or all seven with the gripper. The samples
// themselves are the knots; the velocity at a knot is the slope of the
// samples two either side of it, and zero at the first and the last (played
// back from rest, to rest). Throws std::invalid_argument for fewer than two
// samples, mismatched sizes, times that do not increase, a number that is
// not finite, or a tolerance that is not above zero.
ReducedPath reduceSampledPath(const std::vector<double>& times, const std::vector<std::vector<double>>& samples,
                              double tolerance);

// The same points played `factor` times as fast: times divided by it,
// velocities multiplied by it and accelerations by its square. The path
// through space is the same cubic pieces, so a bound on the distance to the
// samples holds at any factor. Throws std::invalid_argument for a factor that
// is not finite and above zero.
std::vector<TrajectoryPoint> scaleTrajectoryTime(std::vector<TrajectoryPoint> points, double factor);

}  // namespace qel::m4
