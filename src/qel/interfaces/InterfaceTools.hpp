#pragma once

#include <memory>
#include <vector>

namespace qel::m4 {

// Public forward-kinematics tools for host programs; needs no controller, bus
// or thread and may be called from several threads at once.
class InterfacesTools {
public:
    // flag: the robot variant number.
    explicit InterfacesTools(int flag);
    ~InterfacesTools();
    InterfacesTools(const InterfacesTools&) = delete;
    InterfacesTools& operator=(const InterfacesTools&) = delete;

    // Tool pose x, y, z (m), roll, pitch, yaw (rad) for the arm joint angles
    // joint_pos[0..5] (rad); a seventh entry (the gripper) is ignored. Throws
    // std::invalid_argument for fewer than six angles.
    std::vector<double> ForwardKinematicsRpy(std::vector<double> joint_pos);

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::m4
