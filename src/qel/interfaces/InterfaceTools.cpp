#include "qel/interfaces/InterfaceTools.hpp"

#include <utility>

#include "qel/tools/Tools.hpp"

namespace qel::m4 {

class InterfacesTools::impl : public Tools {
public:
    using Tools::Tools;
};

InterfacesTools::InterfacesTools(int flag) : pimpl(std::make_unique<impl>(flag)) {}

InterfacesTools::~InterfacesTools() = default;

std::vector<double> InterfacesTools::ForwardKinematicsRpy(std::vector<double> joint_pos) {
    return pimpl->forwardKinematicsRPY(std::move(joint_pos));
}

}  // namespace qel::m4
