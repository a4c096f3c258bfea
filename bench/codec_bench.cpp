// Cost of the wire codec on the control path: packing one command frame and
// decoding one feedback frame, as every motor does every cycle.
#include <benchmark/benchmark.h>

#include "AllocationCounter.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"

namespace {

using qel::hw_interface::CanFrame;
using qel::hw_interface::MotorType1;

void BM_PackCommand(benchmark::State& state) {
    MotorType1 motor(2);
    double position = 0.0;
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        CanFrame frame = motor.packMotorMsg(60.0, 2.0, position, 0.5, 1.25);
        benchmark::DoNotOptimize(frame);
        position += 1e-6;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_PackCommand);

void BM_DecodeFeedback(benchmark::State& state) {
    MotorType1 motor(2);
    CanFrame frame{};
    frame.can_id = 0;
    frame.can_dlc = 8;
    const uint8_t payload[8] = {0x12, 0x80, 0x00, 0x80, 0x08, 0x00, 0x00, 0x00};
    for (int i = 0; i < 8; ++i) frame.data[i] = payload[i];
    const long allocations = qel::bench::allocation_count;
    for (auto _ : state) {
        motor.CanAnalyze(&frame);
        benchmark::ClobberMemory();
        frame.data[2]++;
    }
    qel::bench::reportAllocations(state, allocations);
}
BENCHMARK(BM_DecodeFeedback);

}  // namespace
