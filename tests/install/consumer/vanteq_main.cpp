// Links only the standalone solver library.
#include <cmath>
#include <cstdio>

#include "qel/solver/vanteq.hpp"

int main() {
    qel::KinematicSolver solver;
    double joints[6] = {0.1, 0.5, 0.6, 0.0, 0.2, 0.0};
    double pose[6] = {};
    solver.computeForwardKinematics(joints, pose);
    double back[6] = {};
    solver.computeInverseKinematics(pose, back);
    double worst = 0.0;
    for (int i = 0; i < 6; ++i) worst = std::fmax(worst, std::fabs(back[i] - joints[i]));
    std::printf("vanteq round trip, largest joint error %.2e rad\n", worst);
    return worst < 1e-3 ? 0 : 1;
}
