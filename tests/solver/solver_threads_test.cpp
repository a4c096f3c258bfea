#include "qel/solver/kinematic_dynamic_solver.hpp"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "reference_chain.hpp"

namespace qel {
namespace {

bool sameTorques(const KDL::JntArray& a, const KDL::JntArray& b) {
    return a.rows() == b.rows() && a.data == b.data;
}

// The host changes the payload while the control thread computes gravity
// torques: every result must belong to one payload or the other, never to a
// half-replaced dynamics solver.
TEST(SolverThreadsTest, PayloadChangesDoNotTearGravityTorques) {
    KinematicDynamicSolver solver(test::kUrdfPath, "base_link", "link6");
    const KDL::JntArray q = test::samplePostures()[0];
    solver.setEndEffectorMass(0.1);
    const KDL::JntArray light = solver.computeGravityCompensationTorque(q);
    solver.setEndEffectorMass(0.4);
    const KDL::JntArray heavy = solver.computeGravityCompensationTorque(q);

    std::atomic<bool> done{false};
    std::thread host([&] {
        for (int i = 0; i < 2000; ++i) {
            solver.setEndEffectorMass(i % 2 == 0 ? 0.1 : 0.4);
        }
        done = true;
    });
    int torn = 0;
    int computed = 0;
    while (!done || computed < 2000) {
        const KDL::JntArray torques = solver.computeGravityCompensationTorque(q);
        if (!sameTorques(torques, light) && !sameTorques(torques, heavy)) {
            ++torn;
        }
        ++computed;
        // Forward kinematics shares the chain whose tip inertia the host
        // rewrites; it must not race with that.
        solver.computeForwardKinematics(q);
    }
    host.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace qel
