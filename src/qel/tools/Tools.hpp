#pragma once

#include <vector>

namespace qel::m4 {

// Forward kinematics of the arm without a controller or a bus: six joint
// angles in, the tool pose out. Holds no state besides the variant number, so
// one object may be used from any number of threads at once.
class Tools {
public:
    // type: the robot variant number; stored, and not used by the kinematics.
    explicit Tools(int type);

    // Tool pose x, y, z (m), roll, pitch, yaw (rad) for the arm joint angles
    // joint_pos[0..5] (rad, host convention); further entries, such as the
    // gripper, are ignored. Throws std::invalid_argument for fewer than six.
    std::vector<double> forwardKinematicsRPY(std::vector<double> joint_pos);

protected:
    int type_;
};

}  // namespace qel::m4
