// What recording costs the control thread per cycle: noting the seven command
// frames as they are sent, taking the cycle's error codes, filling the cycle
// record (targets, frames, measurements, the pose target as six numbers) and
// handing it to the recorder's queue, while the recorder thread drains the
// queue as it does on a running arm. Reports, never fails.
//
//   recorder_bench [--benchmark_repetitions=5 ...]
//
// The hand-over pauses the clock every 512 cycles to let the recorder drain
// (it wakes every 20 ms), so that every push takes the path of a queue with
// room, as at 200 Hz; the counter "dropped" must stay 0.
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include <Eigen/Geometry>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ErrorCodeList.hpp"
#include "qel/recording/CycleRecorder.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace {

using qel::recording::CycleRecorder;
using qel::recording::CycleSample;
using qel::recording::kCycleCodes;
using qel::recording::kMotors;

qel::recording::RecordingLayout layout() {
    qel::recording::RecordingLayout l;
    l.library_version = "bench";
    l.motor_ids = {1, 2, 4, 5, 6, 7, 8};
    l.torque_range = {28, 28, 28, 10, 10, 10, 10};
    return l;
}

// The controller's side of one cycle's record, as the control thread does it.
struct ControlSide {
    qel::recording::SentCommands sent;
    qel::m4::ErrorCodeList codes;
    std::array<qel::hw_interface::CanFrame, kMotors> frames{};
    std::array<qel::hw_interface::HybridJointStatus, kMotors> measured{};
    std::array<double, kMotors> targets{};
    Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
    CycleSample sample;

    ControlSide() {
        for (std::size_t i = 0; i < kMotors; ++i) {
            qel::hw_interface::HybridJointCmd command;
            command.position = 0.1 * static_cast<double>(i);
            command.k_p = 150;
            command.k_d = 1;
            frames[i] = qel::hw_interface::packImpedanceFrame(static_cast<int>(i) + 1, 28, command);
        }
        pose.translation() << 0.2, 0.0, 0.3;
    }

    void cycle(uint64_t n) {
        sent.clear();
        for (std::size_t i = 0; i < kMotors; ++i) sent.note(i, frames[i]);
        CycleSample& s = sample;
        s.cycle = n;
        s.state = 5;
        for (std::size_t i = 0; i < kMotors; ++i) {
            s.joint_target[i] = targets[i];
            s.sent[i] = sent.motor[i];
            s.position[i] = measured[i].position;
            s.velocity[i] = measured[i].velocity;
            s.current[i] = measured[i].current;
        }
        qel::solve::Isometry2Xyzrpy(pose, s.pose_target);
        int appended[kCycleCodes];
        const std::size_t count = codes.takeAppended(appended, kCycleCodes);
        s.code_count = static_cast<uint32_t>(count);
        for (std::size_t i = 0; i < kCycleCodes; ++i) s.codes[i] = i < count ? appended[i] : 0;
    }
};

void BM_RecordOneCycle(benchmark::State& state) {
    CycleRecorder recorder(layout());
    ControlSide control;
    uint64_t n = 0;
    for (auto _ : state) {
        control.cycle(n);
        recorder.push(control.sample);
        if (++n % 512 == 0) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            state.ResumeTiming();
        }
    }
    state.counters["dropped"] = static_cast<double>(recorder.droppedCycles());
    state.counters["record_bytes"] = sizeof(CycleSample);
}
BENCHMARK(BM_RecordOneCycle)->Iterations(100000)->Unit(benchmark::kNanosecond);

// The parts alone.
void BM_NoteSevenFrames(benchmark::State& state) {
    ControlSide control;
    for (auto _ : state) {
        control.sent.clear();
        for (std::size_t i = 0; i < kMotors; ++i) control.sent.note(i, control.frames[i]);
        benchmark::DoNotOptimize(control.sent);
    }
}
BENCHMARK(BM_NoteSevenFrames);

void BM_TakeTheCyclesCodes(benchmark::State& state) {
    qel::m4::ErrorCodeList codes;
    int appended[kCycleCodes];
    for (auto _ : state) benchmark::DoNotOptimize(codes.takeAppended(appended, kCycleCodes));
}
BENCHMARK(BM_TakeTheCyclesCodes);

}  // namespace
