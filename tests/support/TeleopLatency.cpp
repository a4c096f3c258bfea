#include "support/TeleopLatency.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace qel::test {
namespace {

// Both directions carry positions as 16 bits over -12.5 to 12.5 rad: the
// feedback in bytes 1 and 2, the command in bytes 0 and 1.
constexpr double kQuantum = 25.0 / 65535;
int feedbackRaw(const CanFrame& f) { return (f.data[1] << 8) | f.data[2]; }
int commandRaw(const CanFrame& f) { return (f.data[0] << 8) | f.data[1]; }
int rawOf(double position) { return static_cast<int>(std::lround((position + 12.5) / kQuantum)); }
constexpr int kSearchCycles = 5;

struct Indexed {
    std::size_t at;  // position in the record
    int raw;
};

}  // namespace

std::vector<StepLatency> teleopLatencies(const std::vector<SentEvent>& events, const TeleopParties& parties,
                                         const std::vector<double>& positions) {
    std::vector<Indexed> feedback;      // the leader's motor, in order
    std::vector<Indexed> commands;      // the follower's motor, in order
    std::vector<std::size_t> cycles;    // where each follower cycle began (its frame to motor 1)
    std::vector<std::pair<std::size_t, int>> marks;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SentEvent& e = events[i];
        if (e.kind == SentEvent::kMark) {
            marks.emplace_back(i, e.mark);
            continue;
        }
        if (e.kind != SentEvent::kFrame || !e.written) continue;
        const CanFrame& f = e.frame;
        if (e.thread == parties.leader_arm && f.can_id == 0 && (f.data[0] & 0xF) == parties.motor) {
            feedback.push_back({i, feedbackRaw(f)});
        } else if (e.thread == parties.follower_control && f.can_id == 1) {
            cycles.push_back(i);
        } else if (e.thread == parties.follower_control && f.can_id == static_cast<uint32_t>(parties.motor)) {
            commands.push_back({i, commandRaw(f)});
        }
    }
    auto cyclesBetween = [&](std::size_t after, std::size_t up_to) {
        int n = 0;
        for (const std::size_t c : cycles) n += c > after && c <= up_to ? 1 : 0;
        return n;
    };

    std::vector<StepLatency> out;
    for (const auto& [at, step] : marks) {
        if (step <= 0 || static_cast<std::size_t>(step) >= positions.size()) continue;
        if (std::fabs(positions[step] - positions[step - 1]) < 2 * kQuantum) continue;
        const int raw = rawOf(positions[step]);
        // Among the leader's last few feedback frames before the hand-over:
        // an older frame with the same position is the leader passing there
        // before, not what was handed over.
        const auto after = std::upper_bound(feedback.begin(), feedback.end(), at,
                                             [](std::size_t a, const Indexed& f) { return a < f.at; });
        const Indexed* measured = nullptr;
        for (auto f = after; f != feedback.begin() && after - f < kSearchCycles;) {
            --f;
            if (f->raw == raw) {
                measured = &*f;
                break;
            }
        }
        if (measured == nullptr) continue;
        const Indexed* carried = nullptr;
        for (const Indexed& c : commands) {
            if (c.at <= at) continue;
            if (cyclesBetween(at, c.at) > kSearchCycles) break;
            if (std::abs(c.raw - raw) <= 1) {
                carried = &c;
                break;
            }
        }
        if (carried == nullptr) continue;
        StepLatency latency;
        latency.step = step;
        latency.cycles = cyclesBetween(measured->at, carried->at);
        latency.after_handover = cyclesBetween(at, carried->at);
        out.push_back(latency);
    }
    return out;
}

}  // namespace qel::test
