// Cost of the tree-based solver on the control path, each operation beside
// the plain KDL call it wraps, over the same chain in the same run. The
// controller runs forward kinematics and gravity torques every 5 ms cycle, and
// its end-effector state may run up to eleven IK solves per cycle, so the
// unreachable case (all 500 iterations) bounds that state's cycle time.
#include <iostream>
#include <memory>
#include <stdexcept>

#include <benchmark/benchmark.h>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainiksolverpos_lma.hpp>
#include <kdl_parser/kdl_parser.hpp>

#include "qel/solver/kinematic_dynamic_solver.hpp"

namespace {

const char* const kUrdfPath = QEL_URDF_PATH;

KDL::JntArray posture() {
    KDL::JntArray q(6);
    const double values[6] = {0.3, -0.4, 0.5, 0.2, -0.6, 0.7};
    for (unsigned int i = 0; i < 6; ++i) q(i) = values[i];
    return q;
}

KDL::JntArray seedNear(const KDL::JntArray& q) {
    KDL::JntArray seed = q;
    for (unsigned int i = 0; i < 6; ++i) seed(i) += (i % 2 == 0) ? 0.1 : -0.1;
    return seed;
}

// 1 m straight above the zero pose, beyond the arm's reach: the solver runs
// out of iterations instead of stalling early.
const KDL::Frame kUnreachable(KDL::Vector(0.0, 0.0, 1.0));

// The same chain handed to KDL directly.
struct Raw {
    KDL::Tree tree;
    KDL::Chain chain;
    std::unique_ptr<KDL::ChainFkSolverPos_recursive> fk;
    std::unique_ptr<KDL::ChainIkSolverPos_LMA> ik;
    std::unique_ptr<KDL::ChainDynParam> dyn;
    KDL::Vector zero_pose;

    Raw() {
        if (!kdl_parser::treeFromFile(kUrdfPath, tree) || !tree.getChain("base_link", "link6", chain)) {
            throw std::runtime_error("cannot load the arm's chain");
        }
        fk = std::make_unique<KDL::ChainFkSolverPos_recursive>(chain);
        ik = std::make_unique<KDL::ChainIkSolverPos_LMA>(chain, 1e-6, 500, 1e-15);
        dyn = std::make_unique<KDL::ChainDynParam>(chain, KDL::Vector(0.0, 0.0, -9.81));
        KDL::Frame zero;
        fk->JntToCart(KDL::JntArray(6), zero);
        zero_pose = zero.p;
    }
};

void BM_ForwardKinematics_Solver(benchmark::State& state) {
    qel::KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::JntArray q = posture();
    for (auto _ : state) benchmark::DoNotOptimize(solver.computeForwardKinematics(q));
}
BENCHMARK(BM_ForwardKinematics_Solver);

void BM_ForwardKinematics_RawKdl(benchmark::State& state) {
    Raw raw;
    const KDL::JntArray q = posture();
    KDL::Frame frame;
    for (auto _ : state) {
        raw.fk->JntToCart(q, frame);
        benchmark::DoNotOptimize(frame);
    }
}
BENCHMARK(BM_ForwardKinematics_RawKdl);

void BM_GravityTorque_Solver(benchmark::State& state) {
    qel::KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::JntArray q = posture();
    for (auto _ : state) benchmark::DoNotOptimize(solver.computeGravityCompensationTorque(q));
}
BENCHMARK(BM_GravityTorque_Solver);

void BM_GravityTorque_RawKdl(benchmark::State& state) {
    Raw raw;
    const KDL::JntArray q = posture();
    KDL::JntArray torques(6);
    for (auto _ : state) {
        raw.dyn->JntToGravity(q, torques);
        benchmark::DoNotOptimize(torques.data.data());
    }
}
BENCHMARK(BM_GravityTorque_RawKdl);

void BM_InverseKinematicsReachable_Solver(benchmark::State& state) {
    qel::KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::JntArray q = posture();
    const KDL::JntArray seed = seedNear(q);
    const KDL::Frame target = solver.computeForwardKinematics(q);
    for (auto _ : state) {
        KDL::Frame request = target;  // the solver shifts it in place
        benchmark::DoNotOptimize(solver.computeInverseKinematics(request, seed));
    }
}
BENCHMARK(BM_InverseKinematicsReachable_Solver)->Unit(benchmark::kMicrosecond);

void BM_InverseKinematicsReachable_RawKdl(benchmark::State& state) {
    Raw raw;
    const KDL::JntArray q = posture();
    const KDL::JntArray seed = seedNear(q);
    KDL::Frame target;
    raw.fk->JntToCart(q, target);
    KDL::JntArray solved(6);
    for (auto _ : state) {
        benchmark::DoNotOptimize(raw.ik->CartToJnt(seed, target, solved));
    }
    state.counters["iterations"] = raw.ik->lastNrOfIter;
}
BENCHMARK(BM_InverseKinematicsReachable_RawKdl)->Unit(benchmark::kMicrosecond);

void BM_InverseKinematicsUnreachable_Solver(benchmark::State& state) {
    qel::KinematicDynamicSolver solver(kUrdfPath, "base_link", "link6");
    const KDL::JntArray seed(6);
    // Each failure writes its line; keep it out of the timing output.
    std::streambuf* const saved = std::cerr.rdbuf(nullptr);
    for (auto _ : state) {
        KDL::Frame request = kUnreachable;
        try {
            solver.computeInverseKinematics(request, seed);
        } catch (const std::runtime_error&) {
        }
    }
    std::cerr.clear();
    std::cerr.rdbuf(saved);
}
BENCHMARK(BM_InverseKinematicsUnreachable_Solver)->Unit(benchmark::kMicrosecond);

void BM_InverseKinematicsUnreachable_RawKdl(benchmark::State& state) {
    Raw raw;
    const KDL::JntArray seed(6);
    const KDL::Frame target(kUnreachable.M, kUnreachable.p + raw.zero_pose);
    KDL::JntArray solved(6);
    for (auto _ : state) {
        benchmark::DoNotOptimize(raw.ik->CartToJnt(seed, target, solved));
    }
    state.counters["iterations"] = raw.ik->lastNrOfIter;
}
BENCHMARK(BM_InverseKinematicsUnreachable_RawKdl)->Unit(benchmark::kMicrosecond);

}  // namespace
