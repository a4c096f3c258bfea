#include "qel/solver/Interpolation.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

namespace qel::solve {
namespace {

struct Step {
    double position;
    double speed;
};

// One call with the go-home limits of the arm's first three joints.
Step step(double target, double position, double frequency = 200) {
    double speed = 99.0;
    Interpolation(&target, &position, &speed, 0.08, 0.4, frequency);
    return {position, speed};
}

TEST(Interpolation, FirstStepsFollowTheDistanceProfile) {
    Step s = step(0.5, 0.0);  // braking curve
    EXPECT_FLOAT_EQ(s.speed, 0.2828427f);
    EXPECT_NEAR(s.position, 0.0084853, 1e-7);
    EXPECT_LT(step(0.5, s.position).speed, s.speed);

    double position = 0.0;  // beyond twice the braking distance: full speed
    for (int i = 1; i <= 5; ++i) {
        s = step(3.0, position);
        EXPECT_EQ(s.speed, 0.4f);
        EXPECT_FLOAT_EQ(s.position - position, 0.012f);
        position = s.position;
    }

    s = step(1.5, 0.0);  // acceleration curve, speeding up
    EXPECT_FLOAT_EQ(s.speed, 0.2828428f);
    EXPECT_GT(step(1.5, s.position).speed, s.speed);

    s = step(2.0, 0.0);  // the very start of the acceleration curve
    EXPECT_GT(s.speed, 1e-4);
    EXPECT_LT(s.speed, 3e-4);

    s = step(0.5, 0.5);
    EXPECT_EQ(s.position, 0.5);
    EXPECT_EQ(s.speed, 0.0);
    EXPECT_TRUE(std::signbit(s.speed));
}

TEST(Interpolation, NegativeMovesMirrorAndFrequencyIsIgnored) {
    for (double target : {0.5, 1.5, 2.0, 3.0, 0.3}) {
        double up = 0.0, down = 0.0;
        for (int i = 0; i < 50; ++i) {
            const Step a = step(target, up);
            const Step b = step(-target, down);
            const Step c = step(target, up, 1000);
            ASSERT_EQ(b.speed, -a.speed) << target << " call " << i;
            ASSERT_EQ(b.position, -a.position);
            ASSERT_EQ(c.position, a.position);
            ASSERT_EQ(c.speed, a.speed);
            up = a.position;
            down = b.position;
        }
    }
}

TEST(Interpolation, SettlesIntoABandAroundTheTarget) {
    double position = 0.0;
    for (int i = 0; i < 114; ++i) position = step(0.5, position).position;
    EXPECT_NEAR(position, 0.5, 2e-4);
    for (int i = 0; i < 1000; ++i) {
        position = step(0.5, position).position;
        ASSERT_NEAR(position, 0.5, 1.44e-4);
    }
}

TEST(Interpolation, NeverProducesNaN) {
    // With these limits the radicand at the start of the acceleration curve
    // rounds below zero.
    const float acc = static_cast<float>(0.42), vel = static_cast<float>(0.979);
    const float boundary = 2.0f * (vel * vel / (2.0f * acc));
    for (double target : {static_cast<double>(boundary), -static_cast<double>(boundary)}) {
        double position = 0.0, speed = 1.0;
        Interpolation(&target, &position, &speed, 0.42, 0.979, 200);
        EXPECT_TRUE(std::isfinite(speed));
        EXPECT_LT(std::fabs(speed), 1e-3);
        EXPECT_TRUE(std::isfinite(position));
    }

    // Zero limits, as the controller's settings allow, hold the joint.
    for (auto [acc_limit, vel_limit] : {std::pair{0.0, 0.0}, {0.0, 2.0}, {0.5, 0.0}}) {
        double target = 1.0, position = 0.25, speed = 1.0;
        Interpolation(&target, &position, &speed, acc_limit, vel_limit, 200);
        EXPECT_EQ(position, 0.25);
        EXPECT_EQ(speed, 0.0);
    }
}

TEST(Interpolation, RejectsUnusableInputWithoutWriting) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double target, position, acc, vel;
    };
    const Case cases[] = {
        {nan, 0.0, 0.08, 0.4}, {1.0, inf, 0.08, 0.4},  {1.0, 0.0, -0.1, 0.4},
        {1.0, 0.0, 0.08, -0.4}, {1.0, 0.0, nan, 0.4},  {1e300, 0.0, 0.08, 0.4},
        {1.0, 0.0, 3e38, 3e38},
    };
    for (const Case& c : cases) {
        double target = c.target, position = c.position, speed = 5.0;
        EXPECT_THROW(Interpolation(&target, &position, &speed, c.acc, c.vel, 200),
                     std::invalid_argument);
        EXPECT_EQ(speed, 5.0);
        if (std::isfinite(c.position)) {
            EXPECT_EQ(position, c.position);
        }
    }
}

TEST(Linearinterpolation, StepsAndSnaps) {
    double p = 0.0;
    Linearinterpolation(&p, 1.0, 2.0, 200);
    EXPECT_DOUBLE_EQ(p, 0.01);
    Linearinterpolation(&p, -1.0, 2.0, 200);
    EXPECT_DOUBLE_EQ(p, 0.0);
    p = 0.99;
    Linearinterpolation(&p, 1.0, 2.0, 200);  // step equals what is left
    EXPECT_EQ(p, 1.0);

    EXPECT_THROW(Linearinterpolation(&p, 2.0, -1.0, 200), std::invalid_argument);
    EXPECT_THROW(Linearinterpolation(&p, 2.0, 1.0, 0.0), std::invalid_argument);
    EXPECT_THROW(Linearinterpolation(&p, std::nan(""), 1.0, 200), std::invalid_argument);
    EXPECT_EQ(p, 1.0);
}

TEST(TrapezoidalInterpolation, RestToRestMoves) {
    // Ramp 0.5 s and 0.125 rad each end, 3.5 s cruising at 0.5 rad/s.
    const double acc = 1.0, vel = 0.5, total = 4.5;
    EXPECT_EQ(TrapezoidalInterpolation(-1.0, 0.0, 2.0, acc, vel, 200), 0.0);
    EXPECT_DOUBLE_EQ(TrapezoidalInterpolation(0.5, 0.0, 2.0, acc, vel, 200), 0.125);
    EXPECT_DOUBLE_EQ(TrapezoidalInterpolation(total / 2, 0.0, 2.0, acc, vel, 200), 1.0);
    EXPECT_EQ(TrapezoidalInterpolation(total, 0.0, 2.0, acc, vel, 200), 2.0);
    EXPECT_EQ(TrapezoidalInterpolation(60.0, 0.0, 2.0, acc, vel, 200), 2.0);

    // Continuous, within the speed limit, symmetric in time; mirrored downwards.
    double previous = 0.0;
    const double dt = 1e-3;
    for (double t = dt; t <= total + dt; t += dt) {
        const double x = TrapezoidalInterpolation(t, 0.0, 2.0, acc, vel, 200);
        ASSERT_GE(x, previous);
        ASSERT_LE((x - previous) / dt, vel + 1e-9);
        ASSERT_NEAR(x + TrapezoidalInterpolation(total - t, 0.0, 2.0, acc, vel, 200), 2.0, 1e-9);
        ASSERT_DOUBLE_EQ(TrapezoidalInterpolation(t, 0.0, -2.0, acc, vel, 200), -x);
        previous = x;
    }

    // Too short to reach the speed limit: a triangle peaking at half way.
    const double peak_time = std::sqrt(0.2 / acc);  // half of 0.2 rad at rest-to-peak
    EXPECT_DOUBLE_EQ(TrapezoidalInterpolation(peak_time, 1.0, 0.8, acc, 10.0, 200), 0.9);
    EXPECT_EQ(TrapezoidalInterpolation(2 * peak_time, 1.0, 0.8, acc, 10.0, 200), 0.8);
    EXPECT_EQ(TrapezoidalInterpolation(3.0, 1.0, 1.0, acc, vel, 200), 1.0);

    EXPECT_THROW(TrapezoidalInterpolation(1.0, 0.0, 1.0, 0.0, vel, 200), std::invalid_argument);
    EXPECT_THROW(TrapezoidalInterpolation(std::nan(""), 0.0, 1.0, acc, vel, 200),
                 std::invalid_argument);
}

TEST(GravityTorque, ZeroPoseFiguresAndInvariances) {
    const double zeros[6] = {0, 0, 0, 0, 0, 0};
    const double light[6] = {0, 1.691, 7.655, 1.670, 0, 0};
    const double heavy[6] = {0, 1.444, 8.383, 1.951, 0, 0};
    const std::vector<double> t0 = l5_get_Tau(zeros, 0);
    const std::vector<double> t1 = l5_get_Tau(zeros, 1);
    ASSERT_EQ(t0.size(), 6u);
    ASSERT_EQ(t1.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_NEAR(t0[i], light[i], 1e-3) << i;
        EXPECT_NEAR(t1[i], heavy[i], 1e-3) << i;
    }

    // Joint 1 is vertical and joint 6's only lever lies along its own axis, so
    // neither carries gravity; turning the whole arm about joint 1 changes
    // nothing.
    const double poses[][6] = {{0.0, 0.5, 1.0, -0.3, 0.7, 1.1}, {0.0, 2.0, 0.2, 1.0, -1.2, -2.0}};
    for (const auto& pose : poses) {
        const std::vector<double> base = l5_get_Tau(pose, 1);
        EXPECT_NEAR(base[0], 0.0, 1e-5);
        EXPECT_NEAR(base[5], 0.0, 1e-5);
        double turned[6];
        for (int i = 0; i < 6; ++i) turned[i] = pose[i];
        for (double q1 : {1.0, -2.5}) {
            turned[0] = q1;
            const std::vector<double> t = l5_get_Tau(turned, 1);
            for (int i = 0; i < 6; ++i) EXPECT_NEAR(t[i], base[i], 1e-5) << i;
        }
    }

    EXPECT_THROW(l5_get_Tau(zeros, 2), std::invalid_argument);
    EXPECT_THROW(l5_get_Tau(zeros, -1), std::invalid_argument);
}

}  // namespace
}  // namespace qel::solve
