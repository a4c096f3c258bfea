// The end-effector target of pose control, searched on its own thread, is the
// target the search inside one cycle would give for the same command and the
// same starting posture; and the frames pose control sends keep its gains and
// set-point law while the answer is on its way and after it arrives.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ControllerBase.hpp"
#include "qel/controller/EndPoseSearch.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "support/ArmOnBus.hpp"
#include "support/ArmStates.hpp"
#include "support/SendTrace.hpp"
#include "support/CapturedOutput.hpp"

namespace qel::m4 {
namespace {

using namespace test::states;

using namespace std::chrono_literals;
using control::EndPoseAnswer;
using control::EndPoseRequest;
using hw_interface::CanFrame;
using hw_interface::HybridJointStatus;
using test::eventually;

constexpr double kJointTolerance = 1e-3;  // rad

// Joint limits of the arm (rad).
constexpr double kLower[6] = {-3.14, -0.1, -0.1, -1.29, -1.4835298641951802, -1.7453292519943295};
constexpr double kUpper[6] = {2.618, 3.6, 3.0, 1.29, 1.4835298641951802, 1.7453292519943295};

// The single-cycle search, written out from its definition on the public
// solver: solve the command from the measured joints; if that fails, probe
// the line from the measured pose ten times by bisection, keeping the
// solution of the last probe that succeeded.
struct Reference {
    bool solved = false;
    KDL::JntArray joints;
};

Reference singleCycleSearch(KinematicDynamicSolver& solver, const EndPoseRequest& r) {
    KDL::JntArray seed(6);
    for (int i = 0; i < 6; ++i) seed(i) = r.seed[i];
    Reference out;
    auto attempt = [&](const double* pose) {
        KDL::Frame target(KDL::Rotation::RPY(pose[3], pose[4], pose[5]),
                          KDL::Vector(pose[0], pose[1], pose[2]));
        try {
            out.joints = solver.computeInverseKinematics(target, seed);
            out.solved = true;
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    };
    if (attempt(r.command)) return out;
    double error[6];
    double probe[6];
    for (int i = 0; i < 6; ++i) {
        error[i] = r.command[i] - r.from[i];
        probe[i] = r.from[i];
    }
    double flag = 1;
    for (int n = 0; n < 10; ++n) {
        for (int i = 0; i < 6; ++i) {
            error[i] /= 2;
            probe[i] += error[i] * flag;
        }
        flag = attempt(probe) ? 1 : -1;
    }
    return out;
}

EndPoseRequest requestFrom(KinematicDynamicSolver& solver, const std::vector<double>& joints,
                           const std::vector<double>& command) {
    EndPoseRequest r{};
    KDL::JntArray q(6);
    for (int i = 0; i < 6; ++i) {
        r.seed[i] = joints[i];
        q(i) = joints[i];
        r.command[i] = command[i];
    }
    const KDL::Frame f = solver.computeForwardKinematics(q);
    r.from[0] = f.p.x();
    r.from[1] = f.p.y();
    r.from[2] = f.p.z();
    f.M.GetRPY(r.from[3], r.from[4], r.from[5]);
    return r;
}

// Commands relative to the pose at `joints`: a small reachable step, a point
// far out of reach, and a turn of the hand the wrist cannot follow.
std::vector<std::pair<std::string, EndPoseRequest>> requests(KinematicDynamicSolver& solver) {
    const std::vector<double> posture{0.2, 0.6, 0.5, 0.1, -0.2, 0.3};
    EndPoseRequest base = requestFrom(solver, posture, std::vector<double>(6, 0.0));
    std::vector<double> step(base.from, base.from + 6);
    step[0] += 0.02;
    step[2] -= 0.01;
    std::vector<double> far(base.from, base.from + 6);
    far[0] = far[1] = far[2] = 0.53;
    std::vector<double> twist(base.from, base.from + 6);
    twist[2] += 0.4;
    twist[3] += 1.0;
    return {{"reachable step", requestFrom(solver, posture, step)},
            {"far out of reach", requestFrom(solver, posture, far)},
            {"out of reach, position and hand", requestFrom(solver, posture, twist)}};
}

void expectJoints(const double* got, const KDL::JntArray& expected) {
    ASSERT_EQ(expected.rows(), 6u);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(got[i], expected(i), kJointTolerance) << "joint " << i + 1;
}

TEST(EndPoseSearch, GivesTheSingleCycleSearchsTargetInTheCycleAndOnItsThread) {
    KinematicDynamicSolver reference_solver(QEL_TEST_URDF, "base_link", "link6");
    KinematicDynamicSolver cycle_solver(QEL_TEST_URDF, "base_link", "link6");
    control::EndPoseSolver in_cycle(cycle_solver);
    control::EndPoseSearchThread thread(QEL_TEST_URDF, {});
    EXPECT_TRUE(thread.refusals().empty());

    qel::test::CaptureStderr();
    bool reached_all = true;
    for (const auto& [name, request] : requests(reference_solver)) {
        SCOPED_TRACE(name);
        const Reference expected = singleCycleSearch(reference_solver, request);
        ASSERT_TRUE(expected.solved) << "every command here has a reachable probe";
        if (name != "reachable step") {
            // The target is the edge of the reach, strictly between the start
            // and the command.
            KDL::Frame target(KDL::Rotation::RPY(request.command[3], request.command[4], request.command[5]),
                              KDL::Vector(request.command[0], request.command[1], request.command[2]));
            KDL::JntArray seed(6);
            for (int i = 0; i < 6; ++i) seed(i) = request.seed[i];
            EXPECT_THROW(reference_solver.computeInverseKinematics(target, seed), std::runtime_error)
                << "the command itself is out of reach";
        }

        double joints[6] = {};
        ASSERT_TRUE(in_cycle.solve(request, joints));
        expectJoints(joints, expected.joints);

        const uint64_t id = thread.post(request);
        EXPECT_EQ(thread.post(request), id) << "the same snapshot is not searched again";
        reached_all = eventually([&] { return thread.answered() >= id; }, 30s) && reached_all;
        ASSERT_TRUE(reached_all);
        EndPoseAnswer answer;
        ASSERT_TRUE(thread.take(&answer));
        EXPECT_EQ(answer.request, id);
        ASSERT_TRUE(answer.solved);
        expectJoints(answer.joints, expected.joints);
        EXPECT_FALSE(thread.take(&answer)) << "an answer is taken once";
    }
    const std::string err = qel::test::GetCapturedStderr();
    EXPECT_NE(err.find("Inverse kinematics computation failed.\n"), std::string::npos);
}

TEST(EndPoseSearch, AnsweresOnlyTheNewestSnapshotAndStopsWhileSearching) {
    KinematicDynamicSolver reference_solver(QEL_TEST_URDF, "base_link", "link6");
    const auto cases = requests(reference_solver);
    const EndPoseRequest& far = cases[1].second;
    const EndPoseRequest& step = cases[0].second;
    qel::test::CaptureStderr();
    {
        control::EndPoseSearchThread thread(QEL_TEST_URDF, {});
        // Posted back to back: the far one may or may not be searched, but
        // the last answer is the step's.
        thread.post(far);
        const uint64_t last = thread.post(step);
        ASSERT_TRUE(eventually([&] { return thread.answered() >= last; }, 30s));
        EndPoseAnswer answer;
        ASSERT_TRUE(thread.take(&answer));
        EXPECT_EQ(answer.request, last);
        expectJoints(answer.joints, singleCycleSearch(reference_solver, step).joints);

        // After forgetLast the same snapshot is searched again.
        thread.forgetLast();
        EXPECT_GT(thread.post(step), last);
        // Destroyed in the middle of a search of an unreachable command.
        thread.post(far);
    }
    qel::test::GetCapturedStderr();
}

// The core on the bus with the search thread attached, driven cycle by cycle
// by the test, which stands in for the control thread.
class SearchingController : public ControllerBase {
public:
    SearchingController()
        : ControllerBase(QEL_TEST_URDF, test::kTestBus, 0),
          search_(QEL_TEST_URDF, realtime::ThreadSettings{}) {
        end_pose_search_ = &search_;
    }
    ~SearchingController() { end_pose_search_ = nullptr; }
    void command(const double* pose) { ee_command_ = solve::Xyzrpy2Isometry(pose); }
    void state(int s) { state_machine_.store(s); }
    std::vector<HybridJointStatus> status() const { return joint_status_; }
    std::vector<double> gravity() const { return gravity_compensation_torqe_; }
    std::array<double, 7> setPoints() const { return temp_position; }
    Eigen::Isometry3d measured() const { return ee_state_; }
    KDL::JntArray solution() const { return solve_position_; }
    control::EndPoseSearchThread& search() { return search_; }

private:
    control::EndPoseSearchThread search_;
};

constexpr int kMotorIds[6] = {1, 2, 4, 5, 6, 7};
// Pose control's gains (k_p, k_d) per joint: joint 4 is stiffer than in
// position control.
constexpr double kPoseKp[6] = {150, 150, 150, 70, 25, 10};
constexpr double kPoseKd[6] = {1.0, 1.0, 1.0, 0.8, 0.8, 1.0};

double torqueLimitOf(uint32_t id) { return id <= 4 ? 28.0 : 10.0; }

// Runs one cycle and returns the six arm frames it sent, decoded, as the
// controller wrote them (the sender's own record, so no frame of another
// cycle can slip in, however late a reader would have seen them).
std::vector<hw_interface::HybridJointCmd> cycleFrames(SearchingController& c) {
    std::vector<CanFrame> sent;
    {
        test::SendTrace trace;
        c.Update();
        trace.stop();
        sent = trace.framesOf(test::SendTrace::currentThread());
    }
    const auto is_arm = [](const CanFrame& f) { return f.can_id >= 1 && f.can_id <= 7; };
    std::vector<hw_interface::HybridJointCmd> out;
    for (const CanFrame& frame : sent) {
        if (!is_arm(frame) || out.size() == 6) continue;
        EXPECT_EQ(frame.can_id, static_cast<uint32_t>(kMotorIds[out.size()])) << "joint order";
        out.push_back(hw_interface::unpackImpedanceFrame(frame, torqueLimitOf(frame.can_id)));
    }
    return out;
}

void expectPoseGains(const std::vector<hw_interface::HybridJointCmd>& frames) {
    ASSERT_EQ(frames.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(frames[i].k_p, kPoseKp[i], 500.0 / 4095) << "joint " << i + 1;
        EXPECT_NEAR(frames[i].k_d, kPoseKd[i], 5.0 / 4095) << "joint " << i + 1;
    }
}

TEST(EndControlOnTheBus, HoldsUntilTheSearchAnswersThenTracksTheSingleCycleTarget) {
    test::ArmOnBus bus;
    SearchingController c;
    KinematicDynamicSolver reference_solver(QEL_TEST_URDF, "base_link", "link6");

    // The first cycle of pose control posts its snapshot; no answer exists
    // yet, so the arm holds its set-points with pose control's gains.
    const std::vector<HybridJointStatus> start = c.status();
    double from[6];
    solve::Isometry2Xyzrpy(c.measured(), from);
    double command[6] = {0.53, 0.53, 0.53, from[3], from[4], from[5]};
    c.command(command);
    c.state(kEndControl);
    const std::array<double, 7> held = c.setPoints();
    qel::test::CaptureStderr();
    auto frames = cycleFrames(c);
    expectPoseGains(frames);
    for (int i = 0; i < 6; ++i) EXPECT_NEAR(frames[i].position, held[i], 25.0 / 65535 * 2) << i + 1;

    // Once the search has answered, the next cycle tracks its target, which
    // is the single-cycle search's for the snapshot of the first cycle.
    ASSERT_TRUE(eventually([&] { return c.search().answered() >= 1; }, 30s));
    EndPoseRequest request{};
    for (int i = 0; i < 6; ++i) {
        request.command[i] = command[i];
        request.seed[i] = start[i].position;
        request.from[i] = from[i];
    }
    const Reference expected = singleCycleSearch(reference_solver, request);
    ASSERT_TRUE(expected.solved);
    const std::vector<HybridJointStatus> measured = c.status();
    const std::vector<double> gravity = c.gravity();
    const std::array<double, 7> before = c.setPoints();
    frames = cycleFrames(c);
    qel::test::GetCapturedStderr();
    expectPoseGains(frames);
    const KDL::JntArray solution = c.solution();
    ASSERT_EQ(solution.rows(), 6u);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE("joint " + std::to_string(i + 1));
        const double target = std::clamp(expected.joints(i), kLower[i], kUpper[i]);
        EXPECT_NEAR(solution(i), target, kJointTolerance);
        // One interpolation step from the previous set-point towards the
        // target, with the default limits (0.5, 2.0) at 200 Hz; the proximal
        // joints get the feed-forward towards the final target.
        double set_point = before[i];
        double velocity = 0.0;
        solve::Interpolation(&target, &set_point, &velocity, 0.5, 2.0, 200);
        double torque = gravity[i];
        if (i < 3) torque += 1.5 * (target - measured[i].position) - 0.6 * measured[i].velocity;
        EXPECT_NEAR(frames[i].position, set_point, 25.0 / 65535 * 2);
        EXPECT_NEAR(frames[i].velocity, velocity, 90.0 / 4095 * 2);
        EXPECT_NEAR(frames[i].torque, torque, 2 * torqueLimitOf(kMotorIds[i]) / 4095 * 2);
    }
    c.state(kProtect);
    c.Update();
}

}  // namespace
}  // namespace qel::m4
