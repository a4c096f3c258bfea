#include "apps/PushOption.hpp"

#include <cmath>
#include <vector>

#include "apps/CommandLine.hpp"

namespace qel::tools {
namespace {

constexpr double kMaxTorque = 1000.0;  // N·m, as the virtual arm accepts
constexpr double kMaxSeconds = 1e6;

}  // namespace

PushOption parsePushOption(const std::string& text) {
    std::vector<std::string> parts;
    for (std::size_t begin = 0;;) {
        const std::size_t colon = text.find(':', begin);
        parts.push_back(text.substr(begin, colon == std::string::npos ? std::string::npos : colon - begin));
        if (colon == std::string::npos) break;
        begin = colon + 1;
    }
    if (parts.size() != 4) {
        throw UsageError{"--push needs JOINT:TORQUE:START:DURATION (four fields), got '" + text + "'"};
    }
    PushOption push{};
    const double joint = parseNumber(parts[0], "--push joint");
    if (joint < 1 || joint > 6 || joint != std::floor(joint)) {
        throw UsageError{"--push joint must be a whole number from 1 to 6, got '" + parts[0] + "'"};
    }
    push.joint = static_cast<int>(joint);
    push.torque = parseNumber(parts[1], "--push torque");
    if (std::fabs(push.torque) > kMaxTorque) {
        throw UsageError{"--push torque must be from -1000 to 1000 N·m, got '" + parts[1] + "'"};
    }
    push.start_s = parseNumber(parts[2], "--push start");
    if (push.start_s < 0 || push.start_s > kMaxSeconds) {
        throw UsageError{"--push start must be 0 to 1e6 seconds, got '" + parts[2] + "'"};
    }
    push.duration_s = parseNumber(parts[3], "--push duration");
    if (!(push.duration_s > 0) || push.duration_s > kMaxSeconds) {
        throw UsageError{"--push duration must be above 0 and at most 1e6 seconds, got '" + parts[3] + "'"};
    }
    return push;
}

}  // namespace qel::tools
