// A sampled path reduced to a few trajectory points, checked against what the
// motion layer actually makes of them: the points are planned by the motion
// planner and played cycle by cycle by the motion executor, and every
// set-point is compared with the sample of its time, on all seven axes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "qel/motion/MotionPlanner.hpp"
#include "qel/motion/SampledPath.hpp"
#include "support/ExecutorCycles.hpp"

namespace qel::m4 {
namespace {

using motion::Joints;
using test::kCycle;

constexpr double kTolerance = 0.002;            // rad
constexpr double kQuantum = 25.0 / 65535;       // rad, the motors' position step
constexpr double kSettleBound = 1e-9;           // rounding of the set-point arithmetic

// A taught path as the recorder keeps it, one sample per cycle: a pause, joint
// 2 lifted 0.4 rad on a smooth profile, the wrist waving, joint 5 flicked at
// up to 1.5 rad/s, the gripper opened, a pause. Quantised to the motors'
// position step like measured positions. `cycles[k]` numbers the samples;
// two stretches are missing, as cycles the recorder lost.
struct TaughtPath {
    std::vector<double> times;
    std::vector<uint64_t> cycles;
    std::vector<std::vector<double>> samples;

    TaughtPath() {
        const double start[7] = {0.1, 0.3, 0.4, 0.0, 0.2, -0.1, 0.0};
        for (uint64_t c = 0; c <= 1200; ++c) {
            if ((c > 300 && c < 304) || (c > 700 && c < 760)) continue;
            const double t = c * kCycle;
            auto smooth = [](double s) {  // 0 to 1, at rest at both ends
                s = std::clamp(s, 0.0, 1.0);
                return s * s * s * (10.0 - 15.0 * s + 6.0 * s * s);
            };
            std::vector<double> q(start, start + 7);
            q[1] += 0.4 * smooth((t - 0.5) / 1.0);
            q[3] += 0.15 * std::sin(2.0 * M_PI * 0.5 * t) * smooth(t - 0.5) * (1.0 - smooth(t - 4.5));
            q[4] += 0.6 * smooth((t - 2.5) / 0.75);
            q[5] += 0.05 * std::sin(2.0 * M_PI * 1.5 * t) * smooth(t - 0.5) * (1.0 - smooth(t - 4.5));
            q[6] += 2.0 * smooth((t - 3.5) / 1.0);
            for (double& v : q) v = std::round(v / kQuantum) * kQuantum;
            times.push_back(t);
            cycles.push_back(c);
            samples.push_back(q);
        }
    }
    Joints joints(std::size_t k) const {
        Joints q{};
        for (std::size_t i = 0; i < 7; ++i) q[i] = samples[k][i];
        return q;
    }
};

motion::MotionPlanner& planner() {
    static motion::MotionPlanner instance(QEL_TEST_URDF);
    return instance;
}

// The set-points the executor sends for `points`, taken over from rest at
// the first sample: entry n is the set-point of the n-th cycle after the one
// that took the trajectory, at plan time (n + 1) cycles.
std::vector<test::ExecutorCycles::Cycle> played(const std::vector<TrajectoryPoint>& points, const Joints& from) {
    motion::StartState start;
    start.position = from;
    start.measured = from;
    const motion::PlanResult result = planner().planTrajectory(motion::parseTrajectory(points), start);
    EXPECT_TRUE(result.plan) << result.refusal;
    if (!result.plan) return {};
    test::ExecutorCycles cycles(from);
    cycles.post(*result.plan);
    std::vector<test::ExecutorCycles::Cycle> out = cycles.runOut(10000);
    while (!out.empty() && !out.back().path) out.pop_back();
    return out;
}

TEST(SampledPath, PlayedBackEverySetPointLiesWithinTheToleranceOfItsSample) {
    const TaughtPath path;
    const ReducedPath reduced = reduceSampledPath(path.times, path.samples, kTolerance);
    const std::vector<TrajectoryPoint>& points = reduced.points;
    ASSERT_GE(points.size(), 3u);
    EXPECT_LT(points.size(), path.samples.size() / 8) << "a smooth path needs few points";
    EXPECT_LE(reduced.deviation, kTolerance);
    EXPECT_GT(reduced.deviation, kQuantum / 2) << "the reduction used the room it had";
    EXPECT_EQ(points.front().time_from_start, 0.0);
    EXPECT_DOUBLE_EQ(points.back().time_from_start, path.times.back() - path.times.front());
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(points.front().positions[i], path.samples.front()[i]);
        EXPECT_EQ(points.front().velocities[i], 0.0) << "played from rest";
        EXPECT_EQ(points.back().positions[i], path.samples.back()[i]);
        EXPECT_EQ(points.back().velocities[i], 0.0) << "played to rest";
    }

    // At the recorded speed and twice as fast, every sample that falls on a
    // cycle of the playback.
    for (const double speed : {1.0, 2.0}) {
        SCOPED_TRACE("speed " + std::to_string(speed));
        const auto sent = played(scaleTrajectoryTime(points, speed), path.joints(0));
        const double last = path.times.back() / speed;
        ASSERT_NEAR(static_cast<double>(sent.size()) * kCycle, last, 2.5 * kCycle) << "played for the path's time";
        std::size_t compared = 0;
        double worst = 0.0;
        for (std::size_t k = 1; k < path.samples.size(); ++k) {
            const double t = path.times[k] / speed;
            const double cycle = t / kCycle;
            if (std::fabs(cycle - std::round(cycle)) > 1e-9) continue;
            const std::size_t n = static_cast<std::size_t>(std::lround(cycle)) - 1;
            ASSERT_LT(n, sent.size());
            for (std::size_t i = 0; i < 7; ++i) {
                const double off = std::fabs(sent[n].set_point.position[i] - path.samples[k][i]);
                worst = std::max(worst, off);
                ASSERT_LE(off, kTolerance + kSettleBound) << "sample " << k << " (cycle " << path.cycles[k]
                                                           << "), axis " << i + 1;
            }
            ++compared;
        }
        EXPECT_GE(compared, path.samples.size() / speed - 2);
        EXPECT_GT(worst, kQuantum / 2);
    }
}

TEST(SampledPath, KeepsWhatItMustAndNoMore) {
    // At rest all along: its two ends.
    std::vector<double> times;
    std::vector<std::vector<double>> still;
    for (int k = 0; k < 400; ++k) {
        times.push_back(k * kCycle);
        still.push_back({0.2, 0.5, 0.5, 0.0, 0.0, 0.0});
    }
    const ReducedPath two = reduceSampledPath(times, still, kTolerance);
    ASSERT_EQ(two.points.size(), 2u);
    EXPECT_EQ(two.deviation, 0.0);
    EXPECT_EQ(two.points[0].positions.size(), 6u) << "six joints in, six out";

    // A joint that jumps by twice the tolerance every cycle: every sample is
    // a knot, since no cubic over two of them can pass the one between.
    std::vector<std::vector<double>> zigzag = still;
    for (std::size_t k = 0; k < zigzag.size(); ++k) zigzag[k][2] += (k % 2 == 0 ? 0.0 : 2.5 * kTolerance);
    EXPECT_EQ(reduceSampledPath(times, zigzag, kTolerance).points.size(), zigzag.size());
    // With a looser tolerance, the same samples need only their ends.
    EXPECT_EQ(reduceSampledPath(times, zigzag, 0.01).points.size(), 2u);
}

TEST(SampledPath, RefusesWhatIsNotAPath) {
    const std::vector<double> t{0.0, 0.005, 0.01};
    const std::vector<std::vector<double>> q(3, std::vector<double>{0, 0, 0, 0, 0, 0, 0});
    EXPECT_NO_THROW(reduceSampledPath(t, q, kTolerance));
    EXPECT_THROW(reduceSampledPath({0.0}, {q[0]}, kTolerance), std::invalid_argument) << "one sample";
    EXPECT_THROW(reduceSampledPath({0.0, 0.005}, q, kTolerance), std::invalid_argument) << "sizes differ";
    EXPECT_THROW(reduceSampledPath({0.0, 0.005, 0.005}, q, kTolerance), std::invalid_argument) << "time stands";
    EXPECT_THROW(reduceSampledPath({0.0, std::nan(""), 0.01}, q, kTolerance), std::invalid_argument);
    for (const double bad : {0.0, -0.001, std::nan("")}) EXPECT_THROW(reduceSampledPath(t, q, bad), std::invalid_argument);
    std::vector<std::vector<double>> mixed = q;
    mixed[1].pop_back();
    EXPECT_THROW(reduceSampledPath(t, mixed, kTolerance), std::invalid_argument) << "six axes after seven";
    std::vector<std::vector<double>> infinite = q;
    infinite[2][3] = INFINITY;
    EXPECT_THROW(reduceSampledPath(t, infinite, kTolerance), std::invalid_argument);
    const std::vector<TrajectoryPoint> points = reduceSampledPath(t, q, kTolerance).points;
    for (const double bad : {0.0, -1.0, double(INFINITY)}) EXPECT_THROW(scaleTrajectoryTime(points, bad), std::invalid_argument);
}

}  // namespace
}  // namespace qel::m4
