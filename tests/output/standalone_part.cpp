// The standalone solver library's side of both_libraries_test: compiled with
// that library's definitions, so that the calls below reach its own copy of
// the output functions and of the solver.
#include "standalone_part.hpp"

#include <stdexcept>

#include "qel/output/Output.hpp"
#include "qel/solver/vanteq.hpp"

namespace qel::test::standalone {

void writeLine(const char* text) { output::write(output::Level::kInfo, output::Stream::kStdout, text); }

void setMinimumLevelToError() { output::setMinimumLevel(output::Level::kError); }

void buildSolverAndFailOneSolve() {
    qel::KinematicSolver solver;
    double far[6] = {5.0, 5.0, 5.0, 0.0, 0.0, 0.0};
    double joints[6] = {};
    try {
        solver.computeInverseKinematics(far, joints);
    } catch (const std::runtime_error&) {
    }
}

}  // namespace qel::test::standalone
