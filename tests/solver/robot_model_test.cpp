// The compiled-in robot description, checked against the arm's published
// numbers rather than against the file it is generated from, and the tree
// solver's gravity torques against a computation of their own written out
// from the same numbers. Built into the tests of both libraries.
#include <cmath>
#include <string>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/solver/vanteq.hpp"
#include "sha256.hpp"
#include "support/CapturedOutput.hpp"

namespace qel {
namespace {

struct LinkRow {
    const char* name;
    const char* mass;
    const char* com;
    const char* inertia[6];  // ixx ixy ixz iyy iyz izz
    const char* rgba;
};
const LinkRow kLinks[7] = {
    {"base_link", "0.42272", "-0.00013359 6.672E-05 0.031672",
     {"0.00019", "0.00000", "0.00000", "0.00019", "0.00000", "0.00020"}, "0.89804 0.91765 0.92941 1"},
    {"link1", "0.09728", "0.005056 -0.0078534 0.020887",
     {"0.00011", "-0.00001", "0.00001", "0.00005", "-0.00001", "0.00010"}, "0.56471 0.56471 0.56471 1"},
    {"link2", "1.1477", "-0.12983 -0.00073729 -1.2236E-05",
     {"0.00061", "0.00008", "-0.00001", "0.01676", "0.00000", "0.01674"}, "0.69804 0.69804 0.69804 1"},
    {"link3", "0.74116", "0.15404 5.5044E-07 -0.054689",
     {"0.00070", "-0.00009", "-0.00061", "0.00747", "0.00003", "0.00732"}, "0.89804 0.91765 0.92941 1"},
    {"link4", "0.11714", "0.040231 0.0039307 -0.035335",
     {"0.00019", "-0.00002", "-0.00009", "0.00023", "0.00002", "0.00014"}, "0.56471 0.56471 0.56471 1"},
    {"link5", "0.6353", "0.0036004 -1.5445E-05 0.055255",
     {"0.00084", "0.00000", "0.00007", "0.00082", "0.00000", "0.00026"}, "0.69804 0.69804 0.69804 1"},
    {"link6", "0.581000", "0.050676 -4.9137E-05 5.123E-05",
     {"0.00046", "0.00000", "0.00000", "0.00051", "0.00000", "0.00078"}, "0.79216 0.81961 0.93333 1"},
};

struct JointRow {
    const char* name;
    const char* parent;
    const char* child;
    const char* xyz;
    const char* rpy;
    const char* axis;
};
const JointRow kJoints[6] = {
    {"joint1", "base_link", "link1", "0 0 0.0565", "0 0 0", "0 0 1"},
    {"joint2", "link1", "link2", "0.02 0 0.047", "0 0 0", "0 1 0"},
    {"joint3", "link2", "link3", "-0.264 0 0", "3.1416 0 0", "0 1 0"},
    {"joint4", "link3", "link4", "0.245 0 -0.06", "0 0 0", "0 1 0"},
    {"joint5", "link4", "link5", "0.06775 -5E-05 -0.0865", "0 0 0", "0 0 1"},
    {"joint6", "link5", "link6", "0.02895 0 0.0865", "3.1416 0 0", "1 0 0"},
};

// The text of one element, from its opening tag to its closing tag.
std::string element(const std::string& text, const std::string& open, const std::string& close) {
    const size_t start = text.find(open);
    if (start == std::string::npos) return {};
    const size_t end = text.find(close, start);
    return end == std::string::npos ? std::string() : text.substr(start, end + close.size() - start);
}

TEST(RobotModel, CompiledInDescriptionDigest) {
    EXPECT_EQ(urdf_xml_g.size(), 5837u);
    EXPECT_EQ(test::sha256Hex(urdf_xml_g),
              "a14fb2c470c08ed25ce68a454f30765faa003b6e806e6aae843b585f615afca7");
    // The digest routine itself, on the standard test message.
    EXPECT_EQ(test::sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(RobotModel, EveryPublishedNumberIsInTheDescription) {
    const std::string& t = urdf_xml_g;
    ASSERT_EQ(t.compare(0, 25, "\n<robot name=\"Zq4mina00\">"), 0);
    ASSERT_EQ(t.compare(t.size() - 8, 8, "</robot>"), 0);
    for (const LinkRow& link : kLinks) {
        const std::string name = link.name;
        const std::string body = element(t, "<link name=\"" + name + "\">", "</link>");
        ASSERT_FALSE(body.empty()) << name;
        const std::string inertial = element(body, "<inertial>", "</inertial>");
        EXPECT_NE(inertial.find("    <origin xyz=\"" + std::string(link.com) + "\" rpy=\"0 0 0\"/>\n"),
                  std::string::npos)
            << name << " centre of mass";
        EXPECT_NE(inertial.find("    <mass value=\"" + std::string(link.mass) + "\"/>\n"), std::string::npos)
            << name << " mass";
        const std::string inertia = std::string("    <inertia ixx=\"") + link.inertia[0] + "\" ixy=\"" +
                                    link.inertia[1] + "\" ixz=\"" + link.inertia[2] + "\" iyy=\"" +
                                    link.inertia[3] + "\" iyz=\"" + link.inertia[4] + "\" izz=\"" +
                                    link.inertia[5] + "\"/>\n";
        EXPECT_NE(inertial.find(inertia), std::string::npos) << name << " inertia";
        const std::string mesh = "        <mesh filename=\"package://Zq4mina00/meshes/" + name + ".STL\"/>\n";
        EXPECT_NE(element(body, "<visual>", "</visual>").find(mesh), std::string::npos) << name;
        EXPECT_NE(element(body, "<collision>", "</collision>").find(mesh), std::string::npos) << name;
        EXPECT_NE(body.find("        <color rgba=\"" + std::string(link.rgba) + "\"/>\n"), std::string::npos)
            << name << " colour";
    }
    size_t previous = 0;
    for (const JointRow& joint : kJoints) {
        const std::string name = joint.name;
        const std::string expected = "<joint name=\"" + name + "\" type=\"revolute\">\n<origin xyz=\"" +
                                     joint.xyz + "\" rpy=\"" + joint.rpy + "\"/>\n<parent link=\"" +
                                     joint.parent + "\"/>\n<child link=\"" + joint.child +
                                     "\"/>\n<axis xyz=\"" + joint.axis +
                                     "\"/>\n<limit lower=\"-10\" upper=\"10\" effort=\"100\" "
                                     "velocity=\"1000\"/>\n</joint>";
        const size_t at = t.find(expected);
        EXPECT_NE(at, std::string::npos) << name;
        // Links and joints alternate: each joint follows its child link.
        const size_t child = t.find("<link name=\"" + std::string(joint.child) + "\">");
        EXPECT_LT(child, at) << name;
        EXPECT_GT(child, previous) << name;
        previous = at;
    }
}

// The chain base_link to link6 built here from the joint and link tables.
struct TableChain {
    Eigen::Vector3d origin[6], axis[6], centre[6];
    Eigen::Isometry3d flange;
};

TableChain tableChain(const double* q) {
    struct Joint {
        double xyz[3], roll;
        int axis;  // 0 x, 1 y, 2 z
    };
    const Joint joints[6] = {{{0, 0, 0.0565}, 0, 2},      {{0.02, 0, 0.047}, 0, 1},
                             {{-0.264, 0, 0}, 3.1416, 1}, {{0.245, 0, -0.06}, 0, 1},
                             {{0.06775, -5e-05, -0.0865}, 0, 2}, {{0.02895, 0, 0.0865}, 3.1416, 0}};
    const double com[6][3] = {{0.005056, -0.0078534, 0.020887},   {-0.12983, -0.00073729, -1.2236e-05},
                              {0.15404, 5.5044e-07, -0.054689},   {0.040231, 0.0039307, -0.035335},
                              {0.0036004, -1.5445e-05, 0.055255}, {0.050676, -4.9137e-05, 5.123e-05}};
    TableChain chain;
    Eigen::Isometry3d frame = Eigen::Isometry3d::Identity();
    for (int i = 0; i < 6; ++i) {
        Eigen::Isometry3d joint = Eigen::Isometry3d::Identity();
        joint.translation() = Eigen::Vector3d(joints[i].xyz[0], joints[i].xyz[1], joints[i].xyz[2]);
        joint.linear() = Eigen::AngleAxisd(joints[i].roll, Eigen::Vector3d::UnitX()).toRotationMatrix();
        frame = frame * joint;
        const Eigen::Vector3d local_axis = Eigen::Vector3d::Unit(joints[i].axis);
        chain.origin[i] = frame.translation();
        chain.axis[i] = frame.linear() * local_axis;
        frame = frame * Eigen::AngleAxisd(q[i], local_axis);
        chain.centre[i] = frame * Eigen::Vector3d(com[i][0], com[i][1], com[i][2]);
    }
    chain.flange = frame;
    return chain;
}

// Each link's weight acts at its centre of mass (the payload at the link6
// origin), and a joint holds the moment of every weight beyond it about its
// own axis.
Eigen::Matrix<double, 6, 1> referenceGravity(const double* q, double payload) {
    const double mass[6] = {0.09728, 1.1477, 0.74116, 0.11714, 0.6353, 0.581};
    const TableChain chain = tableChain(q);
    Eigen::Matrix<double, 6, 1> torque = Eigen::Matrix<double, 6, 1>::Zero();
    for (int j = 0; j < 6; ++j) {
        for (int k = j; k < 7; ++k) {
            const Eigen::Vector3d at = k < 6 ? chain.centre[k] : chain.flange.translation();
            const Eigen::Vector3d weight(0, 0, -9.81 * (k < 6 ? mass[k] : payload));
            torque(j) -= chain.axis[j].dot((at - chain.origin[j]).cross(weight));
        }
    }
    return torque;
}

const double kPostures[4][6] = {{0.3, -0.4, 0.5, 0.2, -0.6, 0.7},
                                {-1.0, 0.8, -0.3, 1.1, 0.4, -1.2},
                                {0.05, 1.3, -1.9, -0.5, 0.9, 0.3},
                                {2.2, -1.5, 2.4, 0.0, -1.4, 2.9}};

KDL::JntArray toJoints(const double* q) {
    KDL::JntArray joints(6);
    for (int i = 0; i < 6; ++i) joints(i) = q[i];
    return joints;
}

TEST(RobotModel, GravityTorquesMatchAComputationFromTheTables) {
    KinematicDynamicSolver solver(urdf_xml_g);
    for (const auto& q : kPostures) {
        const KDL::JntArray torques = solver.computeGravityCompensationTorque(toJoints(q));
        const Eigen::Matrix<double, 6, 1> expected = 1.32 * referenceGravity(q, 0.0);
        ASSERT_EQ(torques.rows(), 6u);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(torques(i), expected(i), 1e-9) << "joint " << i + 1;
    }
#ifndef QEL_STANDALONE_SOLVER
    solver.setEndEffectorMass(0.3);
    for (const auto& q : kPostures) {
        const KDL::JntArray torques = solver.computeGravityCompensationTorque(toJoints(q));
        const Eigen::Matrix<double, 6, 1> expected = 1.32 * referenceGravity(q, 0.3);
        for (int i = 0; i < 6; ++i) EXPECT_NEAR(torques(i), expected(i), 1e-9) << "joint " << i + 1;
    }
#endif
}

TEST(RobotModel, ForwardKinematicsMatchesTheJointTable) {
    KinematicDynamicSolver solver(urdf_xml_g);
    const double zero[6] = {};
    const Eigen::Vector3d zero_pose = tableChain(zero).flange.translation();
    EXPECT_NEAR(zero_pose.x(), 0.0977, 1e-12);
    EXPECT_NEAR(zero_pose.y(), 0.00005, 1e-6);  // 3.1416 is not quite pi
    EXPECT_NEAR(zero_pose.z(), 0.1635, 1e-9);
    for (const auto& q : kPostures) {
        const KDL::Frame frame = solver.computeForwardKinematics(toJoints(q));
        const Eigen::Isometry3d expected = tableChain(q).flange;
        for (int i = 0; i < 3; ++i) {
            EXPECT_NEAR(frame.p(i), expected.translation()(i) - zero_pose(i), 1e-12) << i;
            for (int j = 0; j < 3; ++j) EXPECT_NEAR(frame.M(i, j), expected.linear()(i, j), 1e-12);
        }
    }
}

// The solver's settings: at most 500 iterations, converged within 1e-6.
// From the first seed it needs 86 of its 500 iterations, from the second 457
// (counted with plain KDL at the same settings, and the same with seeds moved
// by 1e-8): both must converge, close to the target.
TEST(RobotModel, InverseKinematicsFromFarSeeds) {
    KinematicDynamicSolver solver(urdf_xml_g);
    struct Case {
        double q[6];
        double seed[6];
    };
    const Case cases[] = {
        {{-1.0, -1.4, -0.6, 0.9, -0.2, 1.1}, {-1.3, 0.5, -0.4, 0.2, -0.7, -0.9}},
        {{0.41, 0.06, -0.89, 0.26, 0.82, -0.57}, {-1.35, 1.45, 1.49, 0.05, -1.10, 1.46}},
    };
    for (const Case& c : cases) {
        const KDL::Frame target = solver.computeForwardKinematics(toJoints(c.q));
        KDL::Frame request = target;
        qel::test::CaptureStderr();
        KDL::JntArray solved;
        EXPECT_NO_THROW(solved = solver.computeInverseKinematics(request, toJoints(c.seed)));
        EXPECT_EQ(qel::test::GetCapturedStderr(), "");
        ASSERT_EQ(solved.rows(), 6u);
        EXPECT_TRUE(KDL::Equal(solver.computeForwardKinematics(solved).p, target.p, 2e-6));
    }
}

}  // namespace
}  // namespace qel
