// Cost of the virtual arm's two hot paths: one 1 ms physics step of the arm
// and gripper, and one received command frame turned into its answer.
#include <benchmark/benchmark.h>

#include "AllocationCounter.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "sim/ArmDynamics.hpp"
#include "sim/SimulatedMotor.hpp"

namespace {

using qel::hw_interface::HybridJointCmd;
using qel::sim::ArmDynamics;
using qel::sim::kArmJoints;

void BM_PhysicsStep(benchmark::State& state) {
    ArmDynamics arm(qel::sim::ArmDynamicsOptions{});
    for (std::size_t i = 0; i < kArmJoints; ++i) {
        HybridJointCmd command;
        command.position = 0.3;
        command.k_p = 150;
        command.k_d = 1;
        arm.setDrive(static_cast<int>(i), true, command);
    }
    const long before = qel::bench::allocation_count.load();
    for (auto _ : state) {
        arm.step();
        benchmark::ClobberMemory();
    }
    qel::bench::reportAllocations(state, before);
}
BENCHMARK(BM_PhysicsStep);

void BM_CommandFrameToAnswer(benchmark::State& state) {
    qel::sim::SimulatedMotor motor(qel::sim::kMotorLayout[1]);
    qel::hw_interface::MotorType1 driver(2);
    const auto frame = driver.packMotorMsg(150.0, 1.0, 0.4, 0.1, 2.5);
    const qel::sim::AxisState axis{0.39, 0.05, 2.4};
    const auto now = qel::sim::SimClock::now();
    const long before = qel::bench::allocation_count.load();
    for (auto _ : state) {
        motor.receive(frame);
        const auto plan = motor.planAnswer(now, 0.5);
        auto answer = motor.answer(axis);
        benchmark::DoNotOptimize(plan);
        benchmark::DoNotOptimize(answer);
    }
    qel::bench::reportAllocations(state, before);
}
BENCHMARK(BM_CommandFrameToAnswer);

}  // namespace
