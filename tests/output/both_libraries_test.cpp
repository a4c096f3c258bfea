// Both libraries in one process have one output path: the lines of the
// standalone solver library (its own, and the description parser's console
// messages while it parses) take the same queue, sink, levels and flush as
// the controller library's, in the order they were written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qel/output/Output.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "standalone_part.hpp"

namespace qel::output {
namespace {

TEST(OutputOfBothLibraries, OneQueueOneSinkOneLevelOneFlush) {
    std::vector<std::pair<Level, std::string>> got;
    setSink([&](Level level, const char* text) { got.emplace_back(level, text); });
    write(Level::kInfo, Stream::kStdout, "controller library, first");
    test::standalone::writeLine("standalone library");
    write(Level::kInfo, Stream::kStdout, "controller library, second");
    test::standalone::buildSolverAndFailOneSolve();
    // The controller library's flush waits for the other library's lines.
    flush();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0].second, "controller library, first");
    EXPECT_EQ(got[1].second, "standalone library");
    EXPECT_EQ(got[2].second, "controller library, second");
    bool parser_warning = false;
    bool solver_failure = false;
    for (std::size_t i = 3; i < got.size(); ++i) {
        if (got[i].second.find("root link base_link has an inertia") != std::string::npos) {
            EXPECT_EQ(got[i].first, Level::kWarning);
            parser_warning = true;
        }
        if (got[i].second == "Inverse kinematics computation failed.") solver_failure = true;
    }
    EXPECT_TRUE(parser_warning) << "the parser's console message reached the sink";
    EXPECT_TRUE(solver_failure);

    // A level set through the other library holds here too, and the
    // parser's messages of this library's own solver take the same path.
    got.clear();
    test::standalone::setMinimumLevelToError();
    EXPECT_EQ(minimumLevel(), Level::kError);
    write(Level::kWarning, Stream::kStdout, "dropped");
    KinematicDynamicSolver solver(QEL_TEST_URDF, "base_link", "link6");
    write(Level::kError, Stream::kStderr, "kept");
    flush();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].second, "kept");

    setMinimumLevel(Level::kTrace);
    setSink(nullptr);
    flush();
}

}  // namespace
}  // namespace qel::output
