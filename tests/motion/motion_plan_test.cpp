// Plans as the host thread makes them, without an arm: every cycle of a
// joint move against the synchronised trapezoid the requirement describes,
// every cycle of a line against the line, trajectories through their points,
// and what is thrown or refused before anything could move.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/motion/MotionPlanner.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "support/MotionReference.hpp"

namespace qel::m4::motion {
namespace {

using test::kCycle;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

StartState restingAt(const Joints& q) {
    StartState start;
    start.position = q;
    start.measured = q;
    return start;
}

Joints joints(std::initializer_list<double> values) {
    Joints q{};
    std::size_t i = 0;
    for (double v : values) q[i++] = v;
    return q;
}

std::array<double, 6> arm(const Joints& q) { return {q[0], q[1], q[2], q[3], q[4], q[5]}; }

MotionPlanner& planner() {
    static MotionPlanner instance(QEL_TEST_URDF);
    return instance;
}

TEST(JointMovePlan, EveryJointFollowsOneSynchronisedTrapezoid) {
    const Joints from = joints({0.1, 0.2, 0.3, 0.0, 0.0, 0.0, 1.0});
    const Joints to = joints({0.9, -0.05, 1.3, 0.2, -0.4, 0.5, 3.0});
    for (const auto& [speed, acceleration] : {std::pair{1.2, 3.0}, std::pair{2.0, 0.8}, std::pair{1.0, 50.0}}) {
        SCOPED_TRACE("speed " + std::to_string(speed) + ", acceleration " + std::to_string(acceleration));
        PlanResult result = planner().planJoint(std::vector<double>(to.begin(), to.end()), speed,
                                                acceleration, restingAt(from));
        if (acceleration > 30.0) {
            EXPECT_FALSE(result.plan) << "an acceleration above 30 rad/s² is refused";
            EXPECT_NE(result.refusal.find("acceleration"), std::string::npos) << result.refusal;
            continue;
        }
        ASSERT_TRUE(result.plan) << result.refusal;
        const test::JointMoveReference reference(arm(from), arm(to), speed, acceleration);
        const MotionPlan& plan = *result.plan;
        EXPECT_NEAR(plan.duration(), reference.profile.duration(), 1e-12);
        EXPECT_TRUE(plan.hasGripper());

        const int cycles = static_cast<int>(std::ceil(plan.duration() / kCycle));
        Sample previous;
        plan.sample(0.0, &previous);
        int first_moving[6] = {-1, -1, -1, -1, -1, -1};
        int last_moving[6] = {-1, -1, -1, -1, -1, -1};
        for (int n = 1; n <= cycles + 2; ++n) {
            const double t = n * kCycle;
            Sample s;
            plan.sample(t, &s);
            for (int i = 0; i < 6; ++i) {
                ASSERT_NEAR(s.position[i], reference.position(i, t), 1e-9) << "joint " << i + 1 << ", cycle " << n;
                ASSERT_NEAR(s.velocity[i], reference.velocity(i, t), 1e-9) << "joint " << i + 1 << ", cycle " << n;
                EXPECT_LE(std::fabs(s.velocity[i]), speed * (1 + 1e-12));
                EXPECT_LE(std::fabs(s.velocity[i] - previous.velocity[i]), acceleration * kCycle * (1 + 1e-9))
                    << "joint " << i + 1 << ", cycle " << n;
                if (s.position[i] != previous.position[i]) {
                    if (first_moving[i] < 0) first_moving[i] = n;
                    last_moving[i] = n;
                }
            }
            // The gripper goes along, arriving with the joints.
            const double share = reference.profile.position(t) / reference.profile.length;
            EXPECT_NEAR(s.position[6], from[6] + (to[6] - from[6]) * share, 1e-9);
            previous = s;
        }
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(first_moving[i], 1) << "joint " << i + 1 << " starts with the others";
            EXPECT_EQ(last_moving[i], cycles) << "joint " << i + 1 << " arrives with the others";
            EXPECT_EQ(previous.position[i], to[i]) << "joint " << i + 1 << " ends exactly at its goal";
            EXPECT_EQ(previous.velocity[i], 0.0);
        }
    }
}

TEST(MotionPlanner, MalformedInputThrowsAndImpossibleMotionsAreRefusedWithTheirReason) {
    const StartState start = restingAt(joints({0.0, 0.5, 0.5, 0.0, 0.0, 0.0}));
    const std::vector<double> fine{0.1, 0.6, 0.6, 0.0, 0.0, 0.0};
    MotionPlanner& p = planner();

    // Form: lengths, numbers, signs.
    EXPECT_THROW(p.planJoint({0.1, 0.2, 0.3, 0.0, 0.0}, 1.0, 1.0, start), std::invalid_argument);
    EXPECT_THROW(p.planJoint(std::vector<double>(8, 0.0), 1.0, 1.0, start), std::invalid_argument);
    EXPECT_THROW(p.planJoint({0.1, kNaN, 0.3, 0.0, 0.0, 0.0}, 1.0, 1.0, start), std::invalid_argument);
    EXPECT_THROW(p.planJoint({0.1, 0.2, 0.3, 0.0, 0.0, kInf}, 1.0, 1.0, start), std::invalid_argument);
    for (double bad : {0.0, -1.0, kNaN, kInf}) {
        EXPECT_THROW(p.planJoint(fine, bad, 1.0, start), std::invalid_argument) << bad;
        EXPECT_THROW(p.planJoint(fine, 1.0, bad, start), std::invalid_argument) << bad;
        EXPECT_THROW(p.planLine(Eigen::Isometry3d::Identity(), bad, 1.0, start), std::invalid_argument) << bad;
        EXPECT_THROW(p.planLine(Eigen::Isometry3d::Identity(), 0.1, bad, start), std::invalid_argument) << bad;
    }
    Eigen::Isometry3d not_finite = Eigen::Isometry3d::Identity();
    not_finite.translation().y() = kNaN;
    EXPECT_THROW(p.planLine(not_finite, 0.1, 0.5, start), std::invalid_argument);
    Eigen::Isometry3d scaled = Eigen::Isometry3d::Identity();
    scaled.linear() *= 1.5;
    EXPECT_THROW(p.planLine(scaled, 0.1, 0.5, start), std::invalid_argument) << "not a rotation";

    // Well formed, not doable: refused, naming what.
    auto refusal = [](PlanResult result) {
        EXPECT_FALSE(result.plan);
        return result.refusal;
    };
    EXPECT_NE(refusal(p.planJoint({0.1, 3.7, 0.5, 0.0, 0.0, 0.0}, 1.0, 1.0, start)).find("joint 2"), std::string::npos);
    EXPECT_NE(refusal(p.planJoint({0.1, 0.5, 0.5, 0.0, 0.0, -1.8}, 1.0, 1.0, start)).find("joint 6"), std::string::npos);
    EXPECT_NE(refusal(p.planJoint({0.1, 0.5, 0.5, 0.0, 0.0, 0.0, 5.5}, 1.0, 1.0, start)).find("gripper"),
              std::string::npos);
    EXPECT_NE(refusal(p.planJoint(fine, test::kJointSpeedLimit * 1.01, 1.0, start)).find("speed"), std::string::npos);
    EXPECT_TRUE(p.planJoint(fine, test::kJointSpeedLimit, 30.0, start).plan) << "the limits themselves are allowed";
    EXPECT_NE(refusal(p.planLine(Eigen::Isometry3d::Identity(), 1.5, 1.0, start)).find("m/s"), std::string::npos);
    // A metre further out: the arm stretches out towards the edge of its
    // reach, where the line needs the elbow ever faster, then cannot be
    // reached at all; either way it is refused saying where.
    Eigen::Isometry3d far = p.forwardKinematics(start.position);
    far.translation().x() += 1.0;
    const std::string unreachable = refusal(p.planLine(far, 0.5, 2.0, start));
    EXPECT_NE(unreachable.find("mm along the line"), std::string::npos) << unreachable;
}

TEST(LinePlan, EveryCycleLiesOnTheLineAndTurnsAboutOneAxis) {
    const Joints q0 = joints({0.2, 0.9, 0.7, 0.1, 0.4, -0.2});
    MotionPlanner& p = planner();
    const Eigen::Isometry3d from = p.forwardKinematics(q0);
    const Eigen::Vector3d way(0.0, 0.06, 0.08);  // 10 cm
    const Eigen::AngleAxisd turn(0.3, Eigen::Vector3d(1.0, 1.0, 0.0).normalized());
    Eigen::Isometry3d goal = Eigen::Isometry3d::Identity();
    goal.linear() = turn.toRotationMatrix() * from.linear();
    goal.translation() = from.translation() + way;

    const double speed = 0.2;
    const double acceleration = 1.0;
    PlanResult result = p.planLine(goal, speed, acceleration, restingAt(q0));
    ASSERT_TRUE(result.plan) << result.refusal;
    const MotionPlan& plan = *result.plan;
    // The path is the translation (10 cm); the turn (0.3 rad at 0.1 m per
    // rad) is shorter and is stretched over it.
    const test::Trapezoid profile{0.1, speed, acceleration};
    EXPECT_NEAR(plan.duration(), profile.duration(), 1e-9);

    // Forward kinematics by a solver of the test's own.
    KinematicDynamicSolver fk(QEL_TEST_URDF, "base_link", "link6");
    auto poseOf = [&](const Joints& q) {
        KDL::JntArray a(6);
        for (int i = 0; i < 6; ++i) a(i) = q[i];
        const KDL::Frame f = fk.computeForwardKinematics(a);
        Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
        for (int r = 0; r < 3; ++r) {
            pose.translation()(r) = f.p(r);
            for (int c = 0; c < 3; ++c) pose.linear()(r, c) = f.M(r, c);
        }
        return pose;
    };
    const int cycles = static_cast<int>(std::ceil(plan.duration() / kCycle));
    Eigen::Vector3d previous = from.translation();
    for (int n = 1; n <= cycles; ++n) {
        const double t = std::min(n * kCycle, plan.duration());
        Sample s;
        plan.sample(t, &s);
        const Eigen::Isometry3d pose = poseOf(s.position);
        const Eigen::Vector3d p_now = pose.translation();
        ASSERT_LT(test::distanceFromSegment(p_now, from.translation(), goal.translation()), 1e-6) << "cycle " << n;
        const double share = (p_now - from.translation()).dot(way) / way.squaredNorm();
        EXPECT_NEAR(share, profile.position(t) / profile.length, 1e-6) << "cycle " << n;
        // Turned about the one axis by the same share of the whole turn (to
        // the solver's orientation tolerance, 1e-4 rad).
        const Eigen::Matrix3d expected = Eigen::AngleAxisd(share * turn.angle(), turn.axis()) * from.linear();
        EXPECT_LT(Eigen::AngleAxisd(pose.linear() * expected.transpose()).angle(), 1e-4) << "cycle " << n;
        EXPECT_LE((p_now - previous).norm() / kCycle, speed * (1 + 1e-3)) << "cycle " << n;
        for (int i = 0; i < 6; ++i) {
            EXPECT_GE(s.position[i], test::kJointLower[i]);
            EXPECT_LE(s.position[i], test::kJointUpper[i]);
        }
        previous = p_now;
    }
    EXPECT_LT((previous - goal.translation()).norm(), 1e-6);
}

TEST(LinePlan, ALineThatLeavesAJointRangeIsRefusedNamingTheJoint) {
    MotionPlanner& p = planner();
    // Joint 5 ends beyond its 85° stop: the line towards it is solved cycle
    // by cycle until joint 5 would pass it.
    const Joints q0 = joints({0.0, 0.8, 0.6, 0.0, 1.35, 0.0});
    const Joints beyond = joints({0.0, 0.8, 0.6, 0.0, 1.62, 0.0});
    const PlanResult result = p.planLine(p.forwardKinematics(beyond), 0.1, 0.5, restingAt(q0));
    EXPECT_FALSE(result.plan);
    EXPECT_NE(result.refusal.find("joint 5"), std::string::npos) << result.refusal;
    EXPECT_NE(result.refusal.find("mm along the line"), std::string::npos) << result.refusal;
}

std::vector<TrajectoryPoint> points(std::initializer_list<std::pair<double, Joints>> list, bool with_velocities = false) {
    std::vector<TrajectoryPoint> out;
    for (const auto& [time, q] : list) {
        TrajectoryPoint point;
        point.positions.assign(q.begin(), q.begin() + 6);
        if (with_velocities) point.velocities.assign(6, 0.0);
        point.time_from_start = time;
        out.push_back(point);
    }
    return out;
}

TEST(TrajectoryPlan, MalformedTrajectoriesThrowSayingWhichPoint) {
    const Joints a = joints({0.0, 0.5, 0.5, 0.0, 0.0, 0.0});
    const Joints b = joints({0.1, 0.6, 0.5, 0.0, 0.0, 0.0});
    auto bad = [](std::vector<TrajectoryPoint> trajectory, const char* says) {
        try {
            parseTrajectory(trajectory);
            ADD_FAILURE() << "accepted; expected: " << says;
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
        }
    };
    bad({}, "no point");
    bad(points({{0.5, a}, {0.5, b}}), "point 1");
    bad(points({{0.5, a}, {0.4, b}}), "increase");
    bad(points({{-0.1, a}, {0.4, b}}), "point 0");
    bad(points({{kNaN, a}}), "time_from_start");
    auto mixed = points({{0.5, a}, {1.0, b}});
    mixed[1].positions.push_back(1.0);
    bad(mixed, "same number");
    auto short_point = points({{0.5, a}});
    short_point[0].positions.pop_back();
    bad(short_point, "six joint positions");
    auto some_velocities = points({{0.5, a}, {1.0, b}}, true);
    some_velocities[1].velocities.clear();
    bad(some_velocities, "velocities");
    auto wrong_velocities = points({{0.5, a}, {1.0, b}}, true);
    wrong_velocities[0].velocities.push_back(0.0);
    bad(wrong_velocities, "velocities");
    auto accelerations_alone = points({{0.5, a}, {1.0, b}});
    for (auto& point : accelerations_alone) point.accelerations.assign(6, 0.0);
    bad(accelerations_alone, "accelerations need velocities");
    auto nan_velocity = points({{0.5, a}, {1.0, b}}, true);
    nan_velocity[0].velocities[3] = kNaN;
    bad(nan_velocity, "point 0 velocities");
}

TEST(TrajectoryPlan, PassesThroughItsPointsAndIsRefusedWhereTheCurveCannotGo) {
    MotionPlanner& p = planner();
    const Joints q0 = joints({0.0, 0.5, 0.5, 0.0, 0.0, 0.0});
    const StartState start = restingAt(q0);
    const Joints a = joints({0.2, 0.7, 0.4, 0.1, 0.0, 0.0});
    const Joints b = joints({0.4, 0.6, 0.6, 0.0, 0.2, 0.1});
    const Joints c = joints({0.3, 0.5, 0.5, 0.0, 0.1, 0.0});

    // With velocities: through every point at its time with its velocity.
    auto given = points({{0.5, a}, {1.0, b}, {1.6, c}}, true);
    given[1].velocities = {0.3, -0.2, 0.4, 0.0, 0.1, 0.05};
    PlanResult result = p.planTrajectory(parseTrajectory(given), start);
    ASSERT_TRUE(result.plan) << result.refusal;
    EXPECT_EQ(result.plan->anchorTime(), 0.5);
    for (const TrajectoryPoint& point : given) {
        Sample s;
        result.plan->sample(point.time_from_start, &s);
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(s.position[i], point.positions[i], 1e-12);
            EXPECT_NEAR(s.velocity[i], point.velocities[i], 1e-12);
        }
    }

    // Without: a curve whose acceleration has no step at the points, ending
    // at rest on the last one.
    result = p.planTrajectory(parseTrajectory(points({{0.5, a}, {1.0, b}, {1.6, c}})), start);
    ASSERT_TRUE(result.plan) << result.refusal;
    double h = 1e-4;
    auto acceleration = [&](double t, int i) {
        Sample before, after;
        result.plan->sample(t - h, &before);
        result.plan->sample(t + h, &after);
        return (after.velocity[i] - before.velocity[i]) / (2 * h);
    };
    for (double knot : {1.0}) {
        for (int i = 0; i < 6; ++i) {
            const double left = acceleration(knot - 4 * h, i);
            const double right = acceleration(knot + 4 * h, i);
            EXPECT_NEAR(left, right, 0.02 + 0.01 * std::fabs(left)) << "joint " << i + 1 << " at " << knot << " s";
        }
    }
    Sample end;
    result.plan->sample(1.6, &end);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(end.position[i], c[i], 1e-12);
        EXPECT_NEAR(end.velocity[i], 0.0, 1e-12);
    }

    // With accelerations: quintic pieces meet them.
    auto quintic = points({{0.5, a}, {1.0, b}, {1.6, c}}, true);
    for (auto& point : quintic) point.accelerations.assign(6, 0.0);
    quintic[1].accelerations = {1.0, -0.5, 0.0, 0.0, 0.0, 0.0};
    result = p.planTrajectory(parseTrajectory(quintic), start);
    ASSERT_TRUE(result.plan) << result.refusal;
    h = 1e-7;
    EXPECT_NEAR(acceleration(1.0 - 2 * h, 0), 1.0, 1e-3);
    EXPECT_NEAR(acceleration(1.0 + 2 * h, 1), -0.5, 1e-3);

    auto refused = [&](std::vector<TrajectoryPoint> trajectory, const char* says, const StartState& from) {
        const PlanResult r = p.planTrajectory(parseTrajectory(trajectory), from);
        EXPECT_FALSE(r.plan) << "expected a refusal: " << says;
        EXPECT_NE(r.refusal.find(says), std::string::npos) << r.refusal;
    };
    refused(points({{0.5, a}, {1.0, joints({0.0, 0.5, 3.2, 0.0, 0.0, 0.0})}}), "joint 3", start);
    auto fast = points({{0.5, a}, {1.0, b}}, true);
    fast[0].velocities[1] = 3.5;
    refused(fast, "joint 2 at 3.5", start);
    auto moving = points({{0.5, a}, {1.0, b}}, true);
    moving[1].velocities[4] = 0.1;
    refused(moving, "last point must be at rest", start);
    // Between two points inside the range the cubic swings past joint 3's
    // lower limit.
    const Joints low = joints({0.0, 0.5, 0.1, 0.0, 0.0, 0.0});
    auto swing = points({{0.5, a}, {1.0, low}, {2.0, low}}, true);
    swing[1].velocities[2] = -2.0;
    refused(swing, "joint 3 would reach", start);
    // Half a radian in 50 ms from where the set-point is.
    refused(points({{0.05, joints({0.5, 0.5, 0.5, 0.0, 0.0, 0.0})}, {1.0, b}}), "joint 1", start);

    // A first point at time 0 is where the arm is: 0.05 rad of slack.
    Joints near = q0;
    near[1] += 0.045;
    EXPECT_TRUE(p.planTrajectory(parseTrajectory(points({{0.0, near}, {1.0, a}})), start).plan);
    Joints off = q0;
    off[1] += 0.055;
    refused(points({{0.0, off}, {1.0, a}}), "first point (at time 0)", start);
    refused(points({{0.0, q0}}), "no point after time 0", start);
}

}  // namespace
}  // namespace qel::m4::motion
