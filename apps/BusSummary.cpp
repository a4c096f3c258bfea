#include "apps/BusSummary.hpp"

#include <algorithm>
#include <cstdio>

#include "qel/controller/ControlLaw.hpp"

namespace qel::tools {
namespace {

std::string rate(uint64_t count, int64_t span_us) {
    if (span_us <= 0) return "";
    char text[48];
    std::snprintf(text, sizeof text, " (%.1f/s)", static_cast<double>(count) * 1e6 / static_cast<double>(span_us));
    return text;
}

std::string milliseconds(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(us) / 1000.0);
    return text;
}

std::string plural(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::size_t BusSummary::slotOf(int motor_id) {
    for (std::size_t i = 0; i < m4::control::kMotorLayout.size(); ++i) {
        if (m4::control::kMotorLayout[i].motor_id == motor_id) return i;
    }
    return m4::control::kMotorLayout.size();
}

void BusSummary::add(int64_t time_us, const DecodedFrame& frame) {
    if (frames_ == 0) first_us_ = last_us_ = time_us;
    time_us = std::max(time_us, last_us_);
    last_us_ = time_us;
    ++frames_;
    const std::size_t slot = slotOf(frame.motor_id);
    if (frame.kind == FrameKind::kUnknown || slot >= motors_.size()) {
        ++unknown_;
        return;
    }
    Motor& motor = motors_[slot];
    switch (frame.kind) {
    case FrameKind::kCommand:
        ++motor.commands;
        motor.commanded = true;
        motor.last_command = frame.command;
        break;
    case FrameKind::kEnable: ++motor.enables; break;
    case FrameKind::kDisable: ++motor.disables; break;
    case FrameKind::kFeedback: {
        if (motor.feedback > 0) {
            const int64_t gap = time_us - motor.last_feedback_us;
            if (gap > motorPlace(frame.motor_id).online_age_us) {
                ++motor.silences;
                motor.longest_silence_us = std::max(motor.longest_silence_us, gap);
            }
        }
        ++motor.feedback;
        motor.last_feedback = frame.feedback;
        motor.last_feedback_us = time_us;
        break;
    }
    case FrameKind::kUnknown: break;
    }
}

std::string BusSummary::text(const std::vector<int>& motors) const {
    const int64_t span = last_us_ - first_us_;
    std::string out = "summary: " + plural(frames_, "frame", "frames") + " over " +
                      milliseconds(span) + ", " + std::to_string(unknown_) + " unknown\n";
    for (std::size_t i = 0; i < motors_.size(); ++i) {
        const int id = m4::control::kMotorLayout[i].motor_id;
        if (!motors.empty() && std::find(motors.begin(), motors.end(), id) == motors.end()) continue;
        const Motor& motor = motors_[i];
        out += motorName(id) + ": " + plural(motor.commands, "command", "commands") +
               rate(motor.commands, span) + ", " + plural(motor.enables, "enable", "enables") + ", " +
               plural(motor.disables, "disable", "disables") + ", " + std::to_string(motor.feedback) +
               " feedback" + rate(motor.feedback, span) + ", ";
        if (motor.feedback == 0) {
            out += "never answered\n";
        } else {
            out += plural(motor.silences, "silence", "silences");
            if (motor.silences > 0) out += " (longest " + milliseconds(motor.longest_silence_us) + ")";
            // A motor that went quiet before the end of the traffic is in a
            // silence that has not ended yet.
            const int64_t quiet = last_us_ - motor.last_feedback_us;
            if (quiet > motorPlace(id).online_age_us) out += ", silent for the last " + milliseconds(quiet);
            out += "\n";
        }
        if (motor.commanded) out += "  last command: " + commandText(id, motor.last_command) + "\n";
        if (motor.feedback > 0) out += "  last feedback: " + feedbackText(id, motor.last_feedback) + "\n";
    }
    return out;
}

}  // namespace qel::tools
