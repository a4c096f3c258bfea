// Cost of the end-effector state's worst cycle without the bus: the solve of
// an unreachable command plus the ten probes of the reachable-point search,
// each a full inverse-kinematics run of up to 500 iterations. This is why
// the controller runs the search on a thread of its own: the 5 ms cycle,
// of which the frames already take about 1.4 ms, could not hold it.
#include <iostream>
#include <stdexcept>

#include <benchmark/benchmark.h>

#include "qel/controller/ControlLaw.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

namespace {

bool solves(qel::KinematicDynamicSolver& solver, const KDL::JntArray& seed, const double* pose) {
    KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]),
                      KDL::Vector(pose[0], pose[1], pose[2]));
    try {
        solver.computeInverseKinematics(target, seed);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

// From the zero pose towards the far corner of the workspace box (x, y, z of
// 0.53 m), which the arm cannot reach.
void BM_EndControlSearch(benchmark::State& state) {
    qel::KinematicDynamicSolver solver(QEL_URDF_PATH, "base_link", "link6");
    const KDL::JntArray seed(6);
    const KDL::Frame home = solver.computeForwardKinematics(seed);
    double from[6] = {home.p.x(), home.p.y(), home.p.z(), 0, 0, 0};
    home.M.GetRPY(from[3], from[4], from[5]);
    double command[6] = {0.53, 0.53, 0.53, from[3], from[4], from[5]};
    std::streambuf* const saved = std::cerr.rdbuf(nullptr);  // one line per failed solve
    long calls = 0;
    for (auto _ : state) {
        double edge[6];
        ++calls;
        if (!solves(solver, seed, command)) {
            calls += qel::m4::control::kReachableProbes;
            qel::m4::control::searchReachable(
                from, command, [&](double* probe) { return solves(solver, seed, probe); }, edge);
        }
        benchmark::DoNotOptimize(edge);
    }
    std::cerr.clear();
    std::cerr.rdbuf(saved);
    state.counters["solves_per_cycle"] = static_cast<double>(calls) / state.iterations();
}
BENCHMARK(BM_EndControlSearch)->Unit(benchmark::kMillisecond);

}  // namespace
