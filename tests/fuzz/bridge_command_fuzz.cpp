// The bridge's network edge fed with hand-built command messages: names from
// the arm's own and arbitrary strings, sequences of any length, any bit
// pattern as a number, any duration, any arrival times, and an arm that
// sometimes refuses a motion itself. Whatever comes in, what reaches the arm
// is finite, within the limits, in joint order and well-timed, and every
// message is either taken or refused and counted; a motion the arm took
// leaves the bridge reporting joint position control.
#include <cmath>
#include <string>
#include <vector>

#include "bridge/CommandEdge.hpp"
#include "bridge/ArmPort.hpp"
#include "fuzz_check.hpp"

namespace {

// Joint limits written out from the arm's data sheet (joints 1 to 6, gripper).
constexpr double kLower[7] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295, 0.0};
constexpr double kUpper[7] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295, 5.0};
const char* const kNames[] = {"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper", "joint7", ""};

void checkTarget(const std::vector<double>& q) {
    QEL_FUZZ_CHECK(q.size() == 6 || q.size() == 7);
    for (std::size_t i = 0; i < q.size(); ++i) {
        QEL_FUZZ_CHECK(std::isfinite(q[i]));
        QEL_FUZZ_CHECK(q[i] >= kLower[i] && q[i] <= kUpper[i]);
    }
}

// Checks everything at the moment it reaches the arm.
class CheckingArm : public qel::ros2::ArmPort {
public:
    qel::m4::JointSample sample() override { return {}; }
    void setState(int state) override {
        QEL_FUZZ_CHECK(state >= 0 && state <= 5);
        ++reached;
    }
    void damp() override { ++reached; }
    bool faultLatched() override { return latched; }
    int latchedFaultCode() override { return 0; }
    std::string latchedFaultMessage() override { return ""; }
    std::vector<int> takeErrorCodes() override { return {}; }
    void setGripper(double position) override {
        QEL_FUZZ_CHECK(std::isfinite(position) && position >= kLower[6] && position <= kUpper[6]);
        ++reached;
    }
    std::string stream(const std::vector<double>& q, double time) override {
        checkTarget(q);
        // Two control cycles to a tenth of a second.
        QEL_FUZZ_CHECK(time >= 0.01 && time <= 0.1);
        return answer();
    }
    std::string follow(const std::vector<qel::m4::TrajectoryPoint>& points) override {
        QEL_FUZZ_CHECK(!points.empty());
        for (std::size_t p = 0; p < points.size(); ++p) {
            checkTarget(points[p].positions);
            QEL_FUZZ_CHECK(points[p].velocities.empty() || points[p].velocities.size() == points[p].positions.size());
            for (double v : points[p].velocities) QEL_FUZZ_CHECK(std::isfinite(v));
            QEL_FUZZ_CHECK(std::isfinite(points[p].time_from_start) && points[p].time_from_start >= 0);
            if (p > 0) QEL_FUZZ_CHECK(points[p].time_from_start > points[p - 1].time_from_start);
        }
        return answer();
    }
    qel::m4::MotionStatus motionStatus() override { return {}; }

    bool latched = false;
    bool refuses = false;  // the arm's own refusal of the next motion
    uint64_t reached = 0;
    uint64_t motions = 0;  // motions the arm took

private:
    std::string answer() {
        if (refuses) return "refused by the arm";
        ++reached;
        ++motions;
        return "";
    }
};

// Storage for one hand-built message's strings and numbers.
struct Storage {
    std::vector<std::string> strings;
    std::vector<std::vector<char*>> name_lists;
    std::vector<std::vector<double>> numbers;

    dds_sequence_string names(FuzzedDataProvider& input) {
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 9);
        std::vector<char*> list;
        strings.reserve(strings.size() + count);
        for (std::size_t i = 0; i < count; ++i) {
            const int pick = input.ConsumeIntegralInRange<int>(0, 9);
            strings.push_back(pick < 9 ? kNames[pick] : input.ConsumeRandomLengthString(12));
            list.push_back(strings.back().data());
        }
        name_lists.push_back(std::move(list));
        auto& kept = name_lists.back();
        return {static_cast<uint32_t>(kept.size()), static_cast<uint32_t>(kept.size()), kept.data(), false};
    }
    dds_sequence_double doubles(FuzzedDataProvider& input) {
        const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 9);
        std::vector<double> values;
        for (std::size_t i = 0; i < count; ++i) {
            // Mostly numbers near the joints' range, sometimes any bit pattern.
            values.push_back(input.ConsumeBool() ? input.ConsumeFloatingPointInRange<double>(-4.0, 6.0)
                                                 : anyDouble(input));
        }
        numbers.push_back(std::move(values));
        auto& kept = numbers.back();
        return {static_cast<uint32_t>(kept.size()), static_cast<uint32_t>(kept.size()), kept.data(), false};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    CheckingArm arm;
    qel::ros2::CommandEdge edge(arm);
    auto now = qel::ros2::CommandEdge::Clock::now();
    uint64_t messages = 0;
    while (input.remaining_bytes() > 0 && messages < 64) {
        Storage storage;
        storage.strings.reserve(64);
        storage.name_lists.reserve(64);
        storage.numbers.reserve(256);
        arm.latched = input.ConsumeBool();
        arm.refuses = input.ConsumeIntegralInRange<int>(0, 7) == 0;
        const uint64_t motions_before = arm.motions;
        ++messages;
        switch (input.ConsumeIntegralInRange<int>(0, 5)) {
            case 0: {
                sensor_msgs_msg_dds__JointState_ m{};
                m.header.frame_id = const_cast<char*>("");
                m.name = storage.names(input);
                m.position = storage.doubles(input);
                m.velocity = storage.doubles(input);
                m.effort = storage.doubles(input);
                now += std::chrono::microseconds(input.ConsumeIntegralInRange<int64_t>(0, 500000));
                edge.jointCommand(m, now);
                break;
            }
            case 1: {
                trajectory_msgs_msg_dds__JointTrajectory_ m{};
                m.header.frame_id = const_cast<char*>("");
                m.joint_names = storage.names(input);
                std::vector<trajectory_msgs_msg_dds__JointTrajectoryPoint_> points(
                    input.ConsumeIntegralInRange<std::size_t>(0, 12));
                for (auto& p : points) {
                    p.positions = storage.doubles(input);
                    p.velocities = storage.doubles(input);
                    p.accelerations = storage.doubles(input);
                    p.effort = storage.doubles(input);
                    p.time_from_start.sec = input.ConsumeIntegralInRange<int32_t>(-2, 3);
                    p.time_from_start.nanosec = input.ConsumeIntegral<uint32_t>();
                }
                m.points = {static_cast<uint32_t>(points.size()), static_cast<uint32_t>(points.size()),
                            points.data(), false};
                edge.jointTrajectory(m);
                break;
            }
            case 2: edge.armState({input.ConsumeIntegral<int32_t>()}); break;
            case 3: edge.resume({input.ConsumeIntegral<int32_t>()}); break;
            case 4: edge.damp({input.ConsumeBool()}); break;
            case 5: edge.gripperCommand({anyDouble(input), anyDouble(input)}); break;
        }
        const int state = edge.tally().state;
        QEL_FUZZ_CHECK(state >= 0 && state <= 5);
        if (arm.motions != motions_before) QEL_FUZZ_CHECK(state == 5);
    }
    const auto tally = edge.tally();
    QEL_FUZZ_CHECK(tally.accepted + tally.refused == messages);
    QEL_FUZZ_CHECK(tally.accepted == arm.reached);
    return 0;
}
