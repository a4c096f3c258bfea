#include "support/CommandCycles.hpp"

#include "qel/can_motor_dlc/MotorCodec.hpp"

namespace qel::test {

std::vector<CommandCycle> commandCycles(const std::vector<SentEvent>& events) {
    pid_t control = 0;
    for (const SentEvent& e : events) {
        if (e.kind == SentEvent::kFrame && e.frame.can_id == 1) {
            control = e.thread;
            break;
        }
    }
    std::vector<CommandCycle> cycles;
    std::vector<SentEvent> current;
    std::size_t marks = 0;
    bool open = false;
    auto close = [&](bool complete) {
        if (open && complete) {
            cycles.back().pattern = sequence(current);
        } else if (open) {
            cycles.pop_back();
        }
        current.clear();
    };
    for (const SentEvent& e : events) {
        if (e.kind == SentEvent::kMark) {
            ++marks;
            continue;
        }
        if (e.thread != control) continue;
        if (e.kind == SentEvent::kFrame && e.frame.can_id == 1) {
            close(true);
            cycles.emplace_back();
            cycles.back().marks_before = marks;
            open = true;
        }
        if (!open) continue;
        // The cycle's own pauses, not its sleep to the next deadline.
        if (e.kind == SentEvent::kPause && e.deadline_ns != 0) continue;
        current.push_back(e);
        if (e.kind != SentEvent::kFrame) continue;
        for (std::size_t i = 0; i < 7; ++i) {
            if (e.frame.can_id == static_cast<uint32_t>(kCommandMotorIds[i])) {
                cycles.back().command[i] = hw_interface::unpackImpedanceFrame(e.frame, kCommandTorqueRange[i]);
                cycles.back().present[i] = true;
            }
        }
    }
    // The last cycle may have been cut by the end of the record.
    close(open && cycles.back().present[6]);
    return cycles;
}

std::size_t firstCycleAfterMarks(const std::vector<CommandCycle>& cycles, std::size_t marks) {
    for (std::size_t k = 0; k < cycles.size(); ++k) {
        if (cycles[k].marks_before >= marks) return k;
    }
    return cycles.size();
}

}  // namespace qel::test
