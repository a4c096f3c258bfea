// Links the installed controller library and computes a tool pose with it.
#include <cmath>
#include <cstdio>
#include <fstream>

#include "qel/interfaces/InterfaceTools.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

int main() {
    qel::m4::InterfacesTools tools(0);
    std::vector<double> pose = tools.ForwardKinematicsRpy({0, 0, 0, 0, 0, 0});
    std::printf("analytic pose at zero: %.4f %.4f %.4f\n", pose[0], pose[1], pose[2]);
#ifdef QEL_URDF
    std::ifstream description(QEL_URDF);
    if (!description) {
        std::printf("installed robot description missing: %s\n", QEL_URDF);
        return 1;
    }
#endif
    return std::isfinite(pose[0]) && pose.size() == 6 ? 0 : 1;
}
