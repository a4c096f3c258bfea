#pragma once

// qel-virtual-arm's --push JOINT:TORQUE:START:DURATION, a hand pushing one
// joint of the simulated arm for a while.

#include <string>

namespace qel::tools {

struct PushOption {
    int joint;          // 1 to 6
    double torque;      // N·m, positive in the joint's positive direction
    double start_s;     // seconds after the arm starts
    double duration_s;  // seconds
};

// Parses "JOINT:TORQUE:START:DURATION": joint a whole number from 1 to 6,
// torque finite within ±1000 N·m, start from 0 to 1e6 s, duration above 0 and
// up to 1e6 s. Throws UsageError saying which part is wrong.
PushOption parsePushOption(const std::string& text);

}  // namespace qel::tools
