#include "qel/interfaces/InterfaceToolsPy.hpp"

#include <utility>

#include "qel/tools/Tools.hpp"

namespace qel::m4 {

class InterfacesToolsPy::impl : public Tools {
public:
    using Tools::Tools;
};

InterfacesToolsPy::InterfacesToolsPy(int flag) : pimpl(std::make_unique<impl>(flag)) {}

InterfacesToolsPy::~InterfacesToolsPy() = default;

std::vector<double> InterfacesToolsPy::forward_kinematics_rpy(std::vector<double> joint_pos) {
    return pimpl->forwardKinematicsRPY(std::move(joint_pos));
}

}  // namespace qel::m4
