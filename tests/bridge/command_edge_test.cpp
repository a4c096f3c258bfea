// The bridge's network edge with a fake arm behind its seam: which messages
// reach the arm, in which form, and which are refused, counted and explained.
// The limits below are the arm's joint limits written out from its data
// sheet, not read from the library.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "bridge/CommandCheck.hpp"
#include "bridge/CommandEdge.hpp"
#include "bridge/RosNames.hpp"
#include "FakeArm.hpp"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using ros2::CommandEdge;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Joint limits (rad) of joints 1 to 6 and the gripper's range.
constexpr double kLower[7] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295, 0.0};
constexpr double kUpper[7] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295, 5.0};

const std::vector<std::string> kArm{"joint1", "joint2", "joint3", "joint4", "joint5", "joint6"};

// A message's strings and numbers, kept alive while the C view of it is used.
struct Names {
    explicit Names(std::vector<std::string> names) : text(std::move(names)) {
        for (auto& name : text) pointers.push_back(name.data());
    }
    dds_sequence_string view() {
        return {static_cast<uint32_t>(pointers.size()), static_cast<uint32_t>(pointers.size()), pointers.data(),
                false};
    }
    std::vector<std::string> text;
    std::vector<char*> pointers;
};

dds_sequence_double view(std::vector<double>& values) {
    return {static_cast<uint32_t>(values.size()), static_cast<uint32_t>(values.size()), values.data(), false};
}

struct Command {
    Command(std::vector<std::string> names, std::vector<double> positions) : names(std::move(names)),
                                                                                position(std::move(positions)) {}
    sensor_msgs_msg_dds__JointState_ message() {
        sensor_msgs_msg_dds__JointState_ m{};
        m.header.frame_id = const_cast<char*>("");
        m.name = names.view();
        m.position = view(position);
        m.velocity = view(velocity);
        m.effort = view(effort);
        return m;
    }
    Names names;
    std::vector<double> position, velocity, effort;
};

struct Point {
    std::vector<double> positions, velocities, accelerations, effort;
    int32_t sec;
    uint32_t nanosec;
};

struct Trajectory {
    Trajectory(std::vector<std::string> joint_names, std::vector<Point> all) : names(std::move(joint_names)),
                                                                                 points(std::move(all)) {}
    trajectory_msgs_msg_dds__JointTrajectory_ message() {
        views.clear();
        for (Point& p : points) {
            trajectory_msgs_msg_dds__JointTrajectoryPoint_ v{};
            v.positions = view(p.positions);
            v.velocities = view(p.velocities);
            v.accelerations = view(p.accelerations);
            v.effort = view(p.effort);
            v.time_from_start = {p.sec, p.nanosec};
            views.push_back(v);
        }
        trajectory_msgs_msg_dds__JointTrajectory_ m{};
        m.header.frame_id = const_cast<char*>("");
        m.joint_names = names.view();
        m.points = {static_cast<uint32_t>(views.size()), static_cast<uint32_t>(views.size()), views.data(), false};
        return m;
    }
    Names names;
    std::vector<Point> points;
    std::vector<trajectory_msgs_msg_dds__JointTrajectoryPoint_> views;
};

class CommandEdgeTest : public testing::Test {
protected:
    // Sends `command` and expects it refused with a reason that contains
    // `why`, nothing reaching the arm, and the refusal counted.
    void expectRefused(Command command, const std::string& why) {
        const auto before = edge.tally();
        edge.jointCommand(command.message(), CommandEdge::Clock::now());
        expectRefusal(before, "joint_command: ", why);
    }
    void expectRefused(Trajectory trajectory, const std::string& why) {
        const auto before = edge.tally();
        edge.jointTrajectory(trajectory.message());
        expectRefusal(before, "joint_trajectory: ", why);
    }
    void expectRefusal(const ros2::CommandTally& before, const std::string& topic, const std::string& why) {
        const auto after = edge.tally();
        EXPECT_EQ(after.refused, before.refused + 1) << why;
        EXPECT_EQ(after.accepted, before.accepted) << why;
        EXPECT_EQ(after.last_refusal.rfind(topic, 0), 0u) << after.last_refusal;
        EXPECT_NE(after.last_refusal.find(why), std::string::npos)
            << "expected '" << why << "' in '" << after.last_refusal << "'";
        EXPECT_TRUE(arm.untouched()) << why;
    }

    FakeArm arm;
    CommandEdge edge{arm};
};

TEST_F(CommandEdgeTest, JointCommandsReachTheArmInJointOrderAndSwitchToPositionControl) {
    EXPECT_EQ(edge.tally().state, 1) << "start-up leaves the arm in go home";
    // Names in any order; the arm gets joints 1 to 6.
    Command shuffled({"joint6", "joint2", "joint4", "joint1", "joint5", "joint3"}, {0.6, 0.2, 0.4, 0.1, 0.5, 0.3});
    const auto t0 = CommandEdge::Clock::now();
    edge.jointCommand(shuffled.message(), t0);
    ASSERT_EQ(arm.streams.size(), 1u);
    EXPECT_EQ(arm.streams[0].q, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6}));
    EXPECT_TRUE(arm.states.empty()) << "a stream starts without a separate state change";
    EXPECT_EQ(edge.tally().state, 5) << "and runs in joint position control";

    // With the gripper: seven entries, the gripper last.
    Command with_gripper({"gripper", "joint1", "joint2", "joint3", "joint4", "joint5", "joint6"},
                         {2.5, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
    with_gripper.velocity = {0, 0, 0, 0, 0, 0, 0};
    edge.jointCommand(with_gripper.message(), t0 + 10ms);
    ASSERT_EQ(arm.streams.size(), 2u);
    EXPECT_EQ(arm.streams[1].q, (std::vector<double>{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 2.5}));
    // The limits themselves are inside.
    Command at_limits(kArm, {kLower[0], kUpper[1], kLower[2], kUpper[3], kLower[4], kUpper[5]});
    edge.jointCommand(at_limits.message(), t0 + 20ms);
    EXPECT_EQ(arm.streams.size(), 3u);
    EXPECT_EQ(edge.tally().accepted, 3u);
    EXPECT_EQ(edge.tally().refused, 0u);

    // The arm's own refusal is the bridge's refusal, with the arm's reason.
    arm.refusal = "target too fast for the motors";
    edge.jointCommand(shuffled.message(), t0 + 30ms);
    EXPECT_EQ(edge.tally().refused, 1u);
    EXPECT_EQ(edge.tally().last_refusal, "joint_command: target too fast for the motors");
    edge.armState(std_msgs_msg_dds__Int32_{3});
    arm.refusal.clear();
    edge.jointTrajectory(Trajectory(kArm, {{{0, 0, 0, 0, 0, 0}, {}, {}, {}, 1, 0}}).message());
    EXPECT_EQ(edge.tally().state, 5) << "a trajectory runs in joint position control too";
    arm.refusal = "not now";
    edge.armState(std_msgs_msg_dds__Int32_{1});
    edge.jointCommand(shuffled.message(), t0 + 50ms);
    EXPECT_EQ(edge.tally().state, 1) << "a refused motion changes no state";
}

// Each target is to be reached when the stream's next one can be counted on
// to have come: the longest of the last eight intervals between accepted
// commands, plus one 5 ms control cycle, within 10 to 100 ms; a new stream
// assumes a 10 ms period. Written out from that rule.
TEST_F(CommandEdgeTest, StreamedTargetsLeadByTheStreamsLongestRecentGapAndOneCycle) {
    Command command(kArm, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
    struct Step {
        int at_ms;        // arrival
        double lead_ms;   // what the arm is asked for
        const char* why;
    };
    const Step steps[] = {
        {0, 15, "a new stream"},
        {20, 25, "20 ms after the first"},
        {21, 25, "1 ms later: the 20 ms gap still counts"},
        {31, 25, "steady 10 ms from here"},
        {41, 25, ""},
        {51, 25, ""},
        {61, 25, ""},
        {71, 25, ""},
        {81, 25, "the 20 ms gap is the eighth interval back"},
        {91, 15, "and has dropped out"},
        {97, 15, "6 ms"},
        {157, 65, "a 60 ms hiccup"},
        {167, 65, ""},
        {267, 100, "100 ms: the same stream, the lead at its bound"},
        {368, 15, "101 ms: a new stream"},
        {368, 10, "the same instant again: at least two control cycles"},
        {373, 10, "5 ms"},
    };
    const auto t0 = CommandEdge::Clock::now();
    for (const Step& step : steps) {
        edge.jointCommand(command.message(), t0 + std::chrono::milliseconds(step.at_ms));
        ASSERT_FALSE(arm.streams.empty());
        EXPECT_NEAR(arm.streams.back().time * 1e3, step.lead_ms, 1e-6) << "at " << step.at_ms << " ms: " << step.why;
    }
    // A refused command is no part of the stream's rhythm, and a trajectory
    // ends the stream.
    arm.refusal = "refused";
    edge.jointCommand(command.message(), t0 + 423ms);
    arm.refusal.clear();
    edge.jointCommand(command.message(), t0 + 453ms);
    EXPECT_NEAR(arm.streams.back().time, 0.085, 1e-9) << "80 ms since the last accepted command";
    edge.jointTrajectory(Trajectory(kArm, {{{0, 0, 0, 0, 0, 0}, {}, {}, {}, 1, 0}}).message());
    edge.jointCommand(command.message(), t0 + 463ms);
    EXPECT_NEAR(arm.streams.back().time, 0.015, 1e-9) << "a new stream after a trajectory";
}

TEST_F(CommandEdgeTest, JointCommandsWithBadNamesLengthsOrNumbersAreRefused) {
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5", "joint9"}, {0, 0, 0, 0, 0, 0}),
                  "unknown joint name 'joint9'");
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5"}, {0, 0, 0, 0, 0}),
                  "joint joint6 missing");
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5", "gripper"}, {0, 0, 0, 0, 0, 1}),
                  "joint joint6 missing");
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "joint1"},
                          {0, 0, 0, 0, 0, 0, 0}),
                  "joint joint1 named twice");
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper", "joint7"},
                          {0, 0, 0, 0, 0, 0, 0, 0}),
                  "8 joint names, more than the arm's 7");
    expectRefused(Command({}, {}), "no joint names");
    expectRefused(Command(kArm, {0, 0, 0, 0, 0}), "position has 5 entries for 6 joint names");
    expectRefused(Command(kArm, {0, 0, 0, 0, 0, 0, 0}), "position has 7 entries for 6 joint names");
    {
        Command c(kArm, {0, 0, 0, 0, 0, 0});
        c.velocity = {0, 0, 0};
        expectRefused(c, "velocity has 3 entries for 6 joint names");
    }
    expectRefused(Command(kArm, {0, 0, kNaN, 0, 0, 0}), "position holds a non-finite number");
    expectRefused(Command(kArm, {0, 0, 0, 0, -kInf, 0}), "position holds a non-finite number");
    {
        Command c(kArm, {0, 0, 0, 0, 0, 0});
        c.effort = {0, 0, 0, kInf, 0, 0};
        expectRefused(c, "effort holds a non-finite number");
    }
    // Just beyond each joint's limit, on both sides.
    for (int joint = 0; joint < 6; ++joint) {
        for (const double beyond : {kLower[joint] - 1e-3, kUpper[joint] + 1e-3}) {
            std::vector<double> q(6, 0.0);
            q[joint] = beyond;
            expectRefused(Command(kArm, q), "joint" + std::to_string(joint + 1) + " position");
        }
    }
    expectRefused(Command({"joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"},
                          {0, 0, 0, 0, 0, 0, 5.001}),
                  "gripper position 5.001 outside its limits 0 to 5");
    // What a hand-made (never a deserialised) message could hold.
    {
        Command c(kArm, {0, 0, 0, 0, 0, 0});
        c.names.pointers[2] = nullptr;
        expectRefused(c, "unknown joint name ''");
    }
    {
        Command c(kArm, {0, 0, 0, 0, 0, 0});
        auto m = c.message();
        m.position._buffer = nullptr;
        const auto before = edge.tally();
        edge.jointCommand(m, CommandEdge::Clock::now());
        expectRefusal(before, "joint_command: ", "malformed position sequence");
    }
    {
        Command c({"joint1\x01\n", "joint2", "joint3", "joint4", "joint5", "joint6"}, {0, 0, 0, 0, 0, 0});
        expectRefused(c, "unknown joint name 'joint1?" "?'");
    }
}

TEST_F(CommandEdgeTest, TrajectoriesReachTheArmInJointOrderOrAreRefusedWithThePoint) {
    const std::vector<std::string> names{"joint3", "joint1", "joint2", "gripper", "joint4", "joint5", "joint6"};
    Trajectory three(names, {{{0.3, 0.1, 0.2, 1.0, 0, 0, 0}, {}, {}, {}, 0, 500000000},
                             {{0.6, 0.2, 0.4, 2.0, 0, 0, 0}, {0.1, 0.2, 0.3, 0, 0, 0, 0}, {}, {}, 1, 0},
                             {{0.9, 0.3, 0.6, 3.0, 0, 0, 0}, {}, {}, {}, 1, 500000000}});
    edge.jointTrajectory(three.message());
    ASSERT_EQ(arm.trajectories.size(), 1u);
    const auto& points = arm.trajectories[0];
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points[0].positions, (std::vector<double>{0.1, 0.2, 0.3, 0, 0, 0, 1.0}));
    EXPECT_TRUE(points[0].velocities.empty());
    EXPECT_EQ(points[1].velocities, (std::vector<double>{0.2, 0.3, 0.1, 0, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(points[0].time_from_start, 0.5);
    EXPECT_DOUBLE_EQ(points[1].time_from_start, 1.0);
    EXPECT_DOUBLE_EQ(points[2].time_from_start, 1.5);
    // A first point at time zero and times a nanosecond apart are fine.
    Trajectory tight(kArm, {{{0, 0, 0, 0, 0, 0}, {}, {}, {}, 0, 0}, {{0, 0, 0, 0, 0, 0}, {}, {}, {}, 0, 1}});
    edge.jointTrajectory(tight.message());
    EXPECT_EQ(arm.trajectories.size(), 2u);
    EXPECT_EQ(edge.tally().accepted, 2u);

    arm.trajectories.clear();
    const Point ok{{0, 0, 0, 0, 0, 0}, {}, {}, {}, 1, 0};
    auto with = [&](Point second) { return Trajectory(kArm, {ok, second}); };
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {}, {}, {}, 1, 0}), "point 1: time_from_start does not increase");
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {}, {}, {}, 0, 999999999}), "point 1: time_from_start does not increase");
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {}, {}, {}, 2, 1000000000}), "point 1: time_from_start 2 s 1000000000 ns");
    expectRefused(Trajectory(kArm, {{{0, 0, 0, 0, 0, 0}, {}, {}, {}, -1, 0}}), "point 0: time_from_start -1 s");
    expectRefused(with({{0, 0, 0, 0, 0}, {}, {}, {}, 2, 0}), "point 1: positions has 5 entries for 6 joint names");
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {0, 0}, {}, {}, 2, 0}), "point 1: velocities has 2 entries");
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {}, {0, 0, kNaN, 0, 0, 0}, {}, 2, 0}),
                  "point 1: accelerations holds a non-finite number");
    expectRefused(with({{0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, kInf}, {}, {}, 2, 0}),
                  "point 1: velocities holds a non-finite number");
    expectRefused(with({{0, 3.7, 0, 0, 0, 0}, {}, {}, {}, 2, 0}), "point 1: joint2 position 3.7 outside its limits");
    expectRefused(Trajectory(kArm, {}), "no points");
    expectRefused(Trajectory({"joint1", "joint2"}, {ok}), "joint joint3 missing");
    std::vector<Point> many;
    for (int i = 0; i < 5001; ++i) many.push_back({{0, 0, 0, 0, 0, 0}, {}, {}, {}, i, 0});
    expectRefused(Trajectory(kArm, many), "5001 points, more than 5000");
}

TEST_F(CommandEdgeTest, StateDampResumeAndGripperTopics) {
    auto int32 = [](int32_t value) { return std_msgs_msg_dds__Int32_{value}; };
    for (int state = 0; state <= 5; ++state) edge.armState(int32(state));
    EXPECT_EQ(arm.states, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(edge.tally().state, 5);
    arm.states.clear();

    auto refusedWith = [&](const std::string& text) {
        const auto tally = edge.tally();
        return tally.last_refusal.find(text) != std::string::npos && arm.untouched();
    };
    edge.armState(int32(6));
    EXPECT_TRUE(refusedWith("arm_state: state 6 is none of 0 soft")) << edge.tally().last_refusal;
    edge.armState(int32(-1));
    EXPECT_TRUE(refusedWith("arm_state: state -1")) << edge.tally().last_refusal;
    edge.resume(int32(5));
    EXPECT_TRUE(refusedWith("resume: nothing to resume from")) << edge.tally().last_refusal;
    edge.damp(std_msgs_msg_dds__Bool_{false});
    EXPECT_TRUE(refusedWith("damp: damp takes true")) << edge.tally().last_refusal;

    // Damped: a state change does not undo it, resume does.
    edge.damp(std_msgs_msg_dds__Bool_{true});
    EXPECT_EQ(arm.damps, 1);
    arm.latched = true;
    edge.armState(int32(5));
    EXPECT_TRUE(arm.states.empty());
    EXPECT_NE(edge.tally().last_refusal.find("arm_state: a fault is latched (code 5); leave it with resume"),
              std::string::npos)
        << edge.tally().last_refusal;
    edge.resume(int32(9));
    EXPECT_TRUE(arm.states.empty()) << "resume into a state that does not exist";
    edge.resume(int32(3));
    EXPECT_EQ(arm.states, (std::vector<int>{3}));
    EXPECT_EQ(edge.tally().state, 3);

    edge.gripperCommand({2.5, 0.0});
    edge.gripperCommand({0.0, 10.0});
    edge.gripperCommand({5.0, 0.0});
    EXPECT_EQ(arm.grippers, (std::vector<double>{2.5, 0.0, 5.0}));
    const uint64_t refused = edge.tally().refused;
    for (const auto& bad : {control_msgs_msg_dds__GripperCommand_{kNaN, 0}, {5.01, 0}, {-0.01, 0}, {1.0, -1.0},
                            {1.0, kInf}}) {
        edge.gripperCommand(bad);
    }
    EXPECT_EQ(arm.grippers.size(), 3u);
    EXPECT_EQ(edge.tally().refused, refused + 5);
}

TEST(RosNames, NamespacesTopicsAndDomains) {
    EXPECT_EQ(ros2::normaliseNamespace(""), "");
    EXPECT_EQ(ros2::normaliseNamespace("/left/"), "left");
    EXPECT_EQ(ros2::normaliseNamespace("cell_2/left"), "cell_2/left");
    for (const char* bad : {"a//b", "2arm", "left/3", "le-ft", "l eft", "ü"}) {
        EXPECT_THROW(ros2::normaliseNamespace(bad), std::invalid_argument) << bad;
    }
    EXPECT_EQ(ros2::topicName("", "joint_states"), "rt/joint_states");
    EXPECT_EQ(ros2::topicName("left", "joint_states"), "rt/left/joint_states");
    EXPECT_EQ(ros2::topicName("cell/left", "diagnostics"), "rt/cell/left/diagnostics");

    unsetenv("ROS_DOMAIN_ID");
    EXPECT_EQ(ros2::chooseDomain(std::nullopt), 0);
    setenv("ROS_DOMAIN_ID", "", 1);
    EXPECT_EQ(ros2::chooseDomain(std::nullopt), 0);
    setenv("ROS_DOMAIN_ID", "42", 1);
    EXPECT_EQ(ros2::chooseDomain(std::nullopt), 42);
    EXPECT_EQ(ros2::chooseDomain(7), 7) << "the option wins over the environment";
    EXPECT_EQ(ros2::chooseDomain(232), 232);
    EXPECT_THROW(ros2::chooseDomain(233), std::invalid_argument);
    EXPECT_THROW(ros2::chooseDomain(-1), std::invalid_argument);
    for (const char* bad : {"x", "4x", "233", "-1", "99999999999999999999"}) {
        setenv("ROS_DOMAIN_ID", bad, 1);
        EXPECT_THROW(ros2::chooseDomain(std::nullopt), std::invalid_argument) << bad;
    }
    unsetenv("ROS_DOMAIN_ID");
}

}  // namespace
}  // namespace qel::test
