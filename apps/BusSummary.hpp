#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "apps/FrameText.hpp"

namespace qel::tools {

// Per-motor statistics of a stretch of bus traffic: frame counts and rates,
// the last command and feedback, and silences, that is gaps in a motor's
// feedback longer than the age at which the controller takes it for offline
// (200 ms for identifiers up to 4, 800 ms for the others).
class BusSummary {
public:
    // Counts one frame seen at `time_us` (microseconds, any origin; frames
    // are expected in time order, a frame older than the last counts as
    // simultaneous with it).
    void add(int64_t time_us, const DecodedFrame& frame);

    // The summary as text, one block per motor of `motors` (all of the arm's
    // motors when empty), each line ending in a line end.
    std::string text(const std::vector<int>& motors = {}) const;

private:
    struct Motor {
        uint64_t commands = 0;
        uint64_t enables = 0;
        uint64_t disables = 0;
        uint64_t feedback = 0;
        bool commanded = false;
        hw_interface::HybridJointCmd last_command;
        hw_interface::MotorFeedback last_feedback;
        int64_t last_feedback_us = 0;
        uint64_t silences = 0;
        int64_t longest_silence_us = 0;
    };

    static std::size_t slotOf(int motor_id);

    std::array<Motor, 7> motors_{};
    uint64_t frames_ = 0;
    uint64_t unknown_ = 0;
    int64_t first_us_ = 0;
    int64_t last_us_ = 0;
};

}  // namespace qel::tools
