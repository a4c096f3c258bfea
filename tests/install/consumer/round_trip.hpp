// The largest joint error (rad) of forward then inverse kinematics through
// the standalone solver's array interface.
#pragma once

#include <cmath>

#include "qel/solver/vanteq.hpp"

inline double roundTripError(qel::KinematicSolver& solver) {
    double joints[6] = {0.1, 0.5, 0.6, 0.0, 0.2, 0.0};
    double pose[6] = {};
    solver.computeForwardKinematics(joints, pose);
    double back[6] = {};
    solver.computeInverseKinematics(pose, back);
    double worst = 0.0;
    for (int i = 0; i < 6; ++i) worst = std::fmax(worst, std::fabs(back[i] - joints[i]));
    return worst;
}
