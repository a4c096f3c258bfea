// Forward kinematics without an arm: the tool pose of a few joint vectors.
#include <cstdio>
#include <vector>

#include "qel/interfaces/InterfaceTools.hpp"

int main() {
    qel::m4::InterfacesTools tools(0);
    const std::vector<std::vector<double>> postures = {
        {0, 0, 0, 0, 0, 0},
        {0.0, 0.5, 0.5, 0.0, 0.0, 0.0},
        {0.3, 1.0, 0.8, 0.2, -0.3, 0.5},
    };
    for (const auto& joints : postures) {
        const std::vector<double> pose = tools.ForwardKinematicsRpy(joints);
        std::printf("x %+.4f  y %+.4f  z %+.4f m   roll %+.3f  pitch %+.3f  yaw %+.3f rad\n",
                    pose[0], pose[1], pose[2], pose[3], pose[4], pose[5]);
    }
    return 0;
}
