// Arbitrary text through the robot-description constructor: a clear error or
// a working six-joint solver, never a crash or a leak (the address
// sanitizer's leak check runs at exit).
#include <cmath>
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz_check.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        qel::KinematicDynamicSolver solver(text);
        KDL::JntArray q(6);
        for (unsigned int i = 0; i < 6; ++i) q(i) = 0.1 * i;
        const KDL::Frame frame = solver.computeForwardKinematics(q);
        const KDL::JntArray torques = solver.computeGravityCompensationTorque(q);
        QEL_FUZZ_CHECK(torques.rows() == 6);
        (void)frame;
        solver.setEndEffectorMass(0.5);
    } catch (const std::exception& error) {
        QEL_FUZZ_CHECK(error.what()[0] != '\0');
    }
    return 0;
}
