#pragma once

// The control states as a host sets them: plain numbers, written out here so
// that a test fails when the controller's own numbering changes.
// `using namespace test::states;` brings them all in.
namespace qel::test::states {

constexpr int kSoft = 0;
constexpr int kGoHome = 1;
constexpr int kProtect = 2;
constexpr int kGravityCompensation = 3;
constexpr int kEndControl = 4;
constexpr int kPositionControl = 5;

}  // namespace qel::test::states
