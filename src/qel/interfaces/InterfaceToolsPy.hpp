#pragma once

#include <memory>
#include <vector>

namespace qel::m4 {

// The forward-kinematics tools under snake_case names, for plain-number hosts
// such as scripting bindings. Same behaviour as InterfacesTools.
class InterfacesToolsPy {
public:
    // flag: the robot variant number.
    explicit InterfacesToolsPy(int flag);
    ~InterfacesToolsPy();
    InterfacesToolsPy(const InterfacesToolsPy&) = delete;
    InterfacesToolsPy& operator=(const InterfacesToolsPy&) = delete;

    // Tool pose x, y, z (m), roll, pitch, yaw (rad) for the arm joint angles
    // joint_pos[0..5] (rad); a seventh entry (the gripper) is ignored. Throws
    // std::invalid_argument for fewer than six angles.
    std::vector<double> forward_kinematics_rpy(std::vector<double> joint_pos);

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::m4
