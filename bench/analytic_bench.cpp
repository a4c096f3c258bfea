// Cost of the analytic kinematics, the interpolation step and the closed-form
// torque model, with KDL's forward kinematics of the same arm (from its robot
// description) measured in the same run for comparison.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/treefksolverpos_recursive.hpp>
#include <kdl_parser/kdl_parser.hpp>

#include "AllocationCounter.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"

namespace {

using namespace qel::solve;

constexpr float kModelPose[6] = {0.3f, -0.8f, 1.2f, -0.3f, -0.4f, 0.5f};
constexpr double kHostPose[6] = {0.3, 0.8, 1.2, -0.3, 0.4, 0.5};

void BM_fk(benchmark::State& state) {
    float q[6], T[4][4];
    for (int i = 0; i < 6; ++i) q[i] = kModelPose[i];
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        fk(q, T);
        benchmark::DoNotOptimize(T);
        q[0] += 1e-6f;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_fk);

void BM_l5_fk(benchmark::State& state) {
    double q[6], pose[6];
    for (int i = 0; i < 6; ++i) q[i] = kHostPose[i];
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        l5_fk(q, pose);
        benchmark::DoNotOptimize(pose);
        q[0] += 1e-6;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_l5_fk);

// Parsed once: the parser's warnings would otherwise repeat on every run.
const KDL::Tree& load_tree() {
    static const KDL::Tree tree = [] {
        KDL::Tree parsed;
        if (!kdl_parser::treeFromFile(QEL_URDF_PATH, parsed)) {
            throw std::runtime_error("cannot parse " QEL_URDF_PATH);
        }
        return parsed;
    }();
    return tree;
}

void BM_kdl_chain_fk(benchmark::State& state) {
    const KDL::Tree& tree = load_tree();
    KDL::Chain chain;
    tree.getChain("base_link", "link6", chain);
    KDL::ChainFkSolverPos_recursive solver(chain);
    KDL::JntArray q(chain.getNrOfJoints());
    for (unsigned i = 0; i < q.rows() && i < 6; ++i) q(i) = kHostPose[i];
    KDL::Frame frame;
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        solver.JntToCart(q, frame);
        benchmark::DoNotOptimize(frame);
        q(0) += 1e-6;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_kdl_chain_fk);

void BM_kdl_tree_fk(benchmark::State& state) {
    const KDL::Tree& tree = load_tree();
    KDL::TreeFkSolverPos_recursive solver(tree);
    KDL::JntArray q(tree.getNrOfJoints());
    for (unsigned i = 0; i < q.rows() && i < 6; ++i) q(i) = kHostPose[i];
    KDL::Frame frame;
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        solver.JntToCart(q, frame, "link6");
        benchmark::DoNotOptimize(frame);
        q(0) += 1e-6;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_kdl_tree_fk);

// Reachable: the pose of kHostPose, seeded 0.1 rad away in every joint.
// Unreachable: 2 m out, which runs the solver to one of its limits.
void BM_ik_LM(benchmark::State& state) {
    const bool reachable = state.range(0) != 0;
    float T_desir[4][4], seed[6], out[6];
    fk(kModelPose, T_desir);
    if (!reachable) T_desir[0][3] += 2.0f;
    for (int i = 0; i < 6; ++i) seed[i] = kModelPose[i] + 0.1f;
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        ik_LM(T_desir, seed, out);
        benchmark::DoNotOptimize(out);
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_ik_LM)->ArgName("reachable")->Arg(1)->Arg(0);

void BM_Interpolation(benchmark::State& state) {
    double target = 0.5, position = 0.0, speed = 0.0;
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        Interpolation(&target, &position, &speed, 0.08, 0.4, 200);
        benchmark::DoNotOptimize(position);
        if (position > 0.45) position = 0.0;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_Interpolation);

// One allocation per call: the returned vector.
void BM_l5_get_Tau(benchmark::State& state) {
    double q[6];
    for (int i = 0; i < 6; ++i) q[i] = kHostPose[i];
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        std::vector<double> tau = l5_get_Tau(q, 0);
        benchmark::DoNotOptimize(tau.data());
        q[1] += 1e-6;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_l5_get_Tau);

}  // namespace
