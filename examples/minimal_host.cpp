// The smallest useful host: home the arm, switch to joint position control,
// move joint 2 and read it back.
//
//   minimal_host <robot description> <CAN interface>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "qel/interfaces/InterfacesThread.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <robot description> <CAN interface>\n", argv[0]);
        return 2;
    }
    qel::m4::InterfacesThread arm(argv[1], argv[2], 0);  // homes the arm: a few seconds

    constexpr int kPositionControl = 5;
    arm.setArmStatus(kPositionControl);
    arm.setJointPositions({0.0, 0.5, 0.0, 0.0, 0.0, 0.0});

    for (int i = 0; i < 300; ++i) {  // up to 3 s
        if (std::fabs(arm.getJointPositons()[1] - 0.5) < 0.01) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double joint2 = arm.getJointPositons()[1];
    std::printf("joint 2 is at %.3f rad\n", joint2);
    return std::fabs(joint2 - 0.5) < 0.02 ? 0 : 1;
}  // leaving scope stops the control thread and damps the motors
