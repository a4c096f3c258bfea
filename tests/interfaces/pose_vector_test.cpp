// Seven-value poses as the vector interface takes them.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "qel/interfaces/PoseVector.hpp"

namespace qel::m4 {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Eigen::Matrix3d rotationOf(const std::vector<double>& pose) {
    Eigen::Isometry3d out = Eigen::Isometry3d::Identity();
    EXPECT_TRUE(quaternionPoseToIsometry(pose, &out));
    return out.linear();
}

TEST(PoseVector, AnyFiniteQuaternionLengthGivesItsRotation) {
    // 90 degrees about z, written out: x -> y.
    Eigen::Matrix3d quarter_turn_z;
    quarter_turn_z << 0, -1, 0, 1, 0, 0, 0, 0, 1;
    const double h = std::sqrt(0.5);
    for (double scale : {1.0, 3.0, 1e-200, 1e200, 1e308}) {
        SCOPED_TRACE(scale);
        const Eigen::Matrix3d r = rotationOf({0.1, 0.2, 0.3, h * scale, 0, 0, h * scale});
        EXPECT_TRUE(r.isApprox(quarter_turn_z, 1e-12)) << r;
        EXPECT_TRUE((r * r.transpose()).isIdentity(1e-12));
    }
    // The overflowing case that used to come out as the identity: half a
    // turn about the axis (1, 1, 0) / sqrt(2).
    Eigen::Matrix3d half_turn_xy;
    half_turn_xy << 0, 1, 0, 1, 0, 0, 0, 0, -1;
    EXPECT_TRUE(rotationOf({0, 0, 0, 0, 1e200, 1e200, 0}).isApprox(half_turn_xy, 1e-12));
    EXPECT_TRUE(rotationOf({0, 0, 0, 1e200, 1e200, 0, 0}).isApprox(
        Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitX()).toRotationMatrix(), 1e-12));

    Eigen::Isometry3d out = Eigen::Isometry3d::Identity();
    ASSERT_TRUE(quaternionPoseToIsometry({0.1, -0.2, 0.3, 1, 0, 0, 0}, &out));
    EXPECT_EQ(out.translation(), Eigen::Vector3d(0.1, -0.2, 0.3));
}

TEST(PoseVector, RefusesWhatHasNoRotationAndChangesNothing) {
    const Eigen::Isometry3d before = Eigen::Isometry3d(Eigen::Translation3d(1, 2, 3));
    for (const std::vector<double>& pose : std::vector<std::vector<double>>{
             {0, 0, 0, 0, 0, 0, 0},
             {0, 0, 0, 5e-324, 0, 0, 0},
             {0, 0, 0, 1, 0, 0},
             {0, 0, kNaN, 1, 0, 0, 0},
             {0, 0, 0, 1, std::numeric_limits<double>::infinity(), 0, 0},
         }) {
        Eigen::Isometry3d out = before;
        EXPECT_FALSE(quaternionPoseToIsometry(pose, &out));
        EXPECT_TRUE(out.isApprox(before));
    }
}

}  // namespace
}  // namespace qel::m4
