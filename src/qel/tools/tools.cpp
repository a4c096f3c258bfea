#include "qel/tools/Tools.hpp"

#include <stdexcept>
#include <string>

#include "qel/solver/Exercise.hpp"

namespace qel::m4 {

Tools::Tools(int type) : type_(type) {}

std::vector<double> Tools::forwardKinematicsRPY(std::vector<double> joint_pos) {
    if (joint_pos.size() < 6) {
        throw std::invalid_argument("forward kinematics needs six joint angles, got " +
                                    std::to_string(joint_pos.size()));
    }
    std::vector<double> output(6);
    qel::solve::l5_fk(joint_pos.data(), output.data());
    return output;
}

}  // namespace qel::m4
