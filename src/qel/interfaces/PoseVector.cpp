#include "qel/interfaces/PoseVector.hpp"

#include <cmath>
#include <limits>

namespace qel::m4 {

bool quaternionPoseToIsometry(const std::vector<double>& pose, Eigen::Isometry3d* out) {
    if (pose.size() < 7) return false;
    for (std::size_t i = 0; i < 7; ++i) {
        if (!std::isfinite(pose[i])) return false;
    }
    Eigen::Vector4d q(pose[3], pose[4], pose[5], pose[6]);
    // Scaled by its largest entry first: the squares of 1e200 overflow to
    // infinity, and dividing by an infinite norm would leave a zero
    // quaternion, which Eigen turns into some rotation without a word.
    const double largest = q.cwiseAbs().maxCoeff();
    if (!(largest >= std::numeric_limits<double>::min())) return false;
    q /= largest;
    q /= q.norm();
    const Eigen::Quaterniond rotation(q[0], q[1], q[2], q[3]);
    Eigen::Isometry3d target = Eigen::Isometry3d::Identity();
    target.rotate(rotation);
    target.pretranslate(Eigen::Vector3d(pose[0], pose[1], pose[2]));
    *out = target;
    return true;
}

}  // namespace qel::m4
