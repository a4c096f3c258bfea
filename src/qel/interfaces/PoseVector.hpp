#pragma once

#include <vector>

#include <Eigen/Geometry>

namespace qel::m4 {

// The pose of a seven-value vector x, y, z (m), qw, qx, qy, qz. The
// quaternion need not have unit length: it is normalised, without overflow or
// underflow for any finite entries. False, leaving `out` unchanged, for fewer
// than seven values, a non-finite one, or a quaternion too short to have a
// direction (relative to its largest entry it is always long enough, so only
// an all-zero or subnormal one is refused).
bool quaternionPoseToIsometry(const std::vector<double>& pose, Eigen::Isometry3d* out);

}  // namespace qel::m4
