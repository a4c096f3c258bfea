#pragma once

// Plain KDL over the shipped description file: an independent computation the
// solvers are checked against.

#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kdl/chain.hpp>
#include <kdl/chaindynparam.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/tree.hpp>
#include <kdl_parser/kdl_parser.hpp>
#include "support/CapturedOutput.hpp"

namespace qel::test {

inline const std::string kUrdfPath = QEL_URDF_PATH;

// The IK stops at a task-space error of 1e-6 with orientation weighted by 0.01,
// so angles come back within about 1e-4 rad of the exact solution.
constexpr double kIkAngleTolerance = 1e-4;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The arm's chain parsed straight from the file, optionally carrying a point
// payload at the tip link's origin.
class ReferenceChain {
public:
    explicit ReferenceChain(const std::string& tip = "link6", double payload = 0.0) {
        KDL::Tree tree;
        if (!kdl_parser::treeFromFile(kUrdfPath, tree) || !tree.getChain("base_link", tip, chain_)) {
            throw std::runtime_error("reference chain unavailable");
        }
        auto& last = chain_.segments.back();
        last.setInertia(last.getInertia() +
                        KDL::RigidBodyInertia(payload, KDL::Vector::Zero(),
                                              KDL::RotationalInertia::Zero()));
    }

    unsigned int joints() const { return chain_.getNrOfJoints(); }

    KDL::Frame fk(const KDL::JntArray& q) const {
        KDL::ChainFkSolverPos_recursive solver(chain_);
        KDL::Frame frame;
        solver.JntToCart(q, frame);
        return frame;
    }

    KDL::JntArray gravity(const KDL::JntArray& q) const {
        KDL::ChainDynParam solver(chain_, KDL::Vector(0.0, 0.0, -9.81));
        KDL::JntArray torques(chain_.getNrOfJoints());
        solver.JntToGravity(q, torques);
        return torques;
    }

private:
    KDL::Chain chain_;
};

inline KDL::JntArray joints(std::initializer_list<double> values) {
    KDL::JntArray q(static_cast<unsigned int>(values.size()));
    unsigned int i = 0;
    for (double v : values) {
        q(i++) = v;
    }
    return q;
}

// Postures spread over the workspace, away from singularities.
inline std::vector<KDL::JntArray> samplePostures() {
    return {joints({0.3, -0.4, 0.5, 0.2, -0.6, 0.7}), joints({-1.0, 0.8, -0.3, 1.1, 0.4, -1.2}),
            joints({0.05, 0.1, -0.2, -0.5, 0.9, 0.3})};
}

// Runs `call`, expecting it to throw `Error` with `message` after writing
// `line` to standard error.
template <typename Error>
void expectFailure(const std::function<void()>& call, const std::string& line,
                   const std::string& message) {
    qel::test::CaptureStderr();
    try {
        call();
        qel::test::GetCapturedStderr();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const Error& error) {
        const std::string err = qel::test::GetCapturedStderr();
        EXPECT_EQ(error.what(), message);
        EXPECT_THAT(err, testing::HasSubstr(line + "\n"));
    } catch (...) {
        qel::test::GetCapturedStderr();
        ADD_FAILURE() << "wrong exception type; expected \"" << message << "\"";
    }
}

}  // namespace qel::test
