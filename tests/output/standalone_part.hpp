#pragma once

// Calls into the standalone solver library, for a test that links both
// libraries; declared without either library's types.
namespace qel::test::standalone {

// One info line on standard output through that library's output functions.
void writeLine(const char* text);
// Its setMinimumLevel(kError).
void setMinimumLevelToError();
// Builds its solver from the embedded description (the parser warns about
// the base link's inertia) and makes one solve fail (the solver writes a
// line and throws, which is caught here).
void buildSolverAndFailOneSolve();

}  // namespace qel::test::standalone
