// Leader and follower on two virtual arms in real time: the leader-to-follower
// latency in the follower's control cycles, counted from the sender's own
// record (the leader's feedback frame that measured joint 2 to the follower's
// command frame carrying that position), and the streaming thread's share of
// a CPU. The leader floats in gravity compensation and is pushed back and
// forth on joints 1 and 2 by a simulated hand. It reports and never fails;
// run it in a quiet window, since the host's scheduling is in the numbers.
//
// Built twice: teleop_figures runs on the kernel's vcan0 and vcan1 (inside
// scripts/with-vcan), teleop_figures_inprocess natively on the in-process bus.
//
//   teleop_figures [SECONDS]    streaming time, 2 to 25 (default 10)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/teaching/LeaderFollower.hpp"
#include "support/BusStations.hpp"
#include "support/SendTrace.hpp"
#include "support/TeleopLatency.hpp"

namespace {

using namespace std::chrono_literals;
using qel::m4::InterfacesThread;
using Station = qel::test::BusStation<InterfacesThread>;

constexpr std::size_t kMaxSteps = 1 << 13;  // 40 s at 200 Hz

double percentile(std::vector<int> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    // The send trace holds about 30 s of both arms' traffic.
    seconds = std::clamp(seconds, 2.0, 25.0);
    Station stations[2];
    {
        qel::test::SendTrace start_up;
        qel::test::startStations(stations, start_up, QEL_URDF_PATH);
    }
    Station& leader = stations[0];
    Station& follower = stations[1];

    std::vector<double> handed(kMaxSteps, 0.0);
    std::atomic<int> steps{0};
    qel::m4::LeaderFollowerOptions options;
    options.on_step = [&](const qel::recording::EpisodeStep& step) {
        const int k = steps.fetch_add(1);
        if (k >= static_cast<int>(kMaxSteps)) return;
        handed[static_cast<std::size_t>(k)] = step.action[1];
        qel::test::SendTrace::mark(k);
    };
    qel::test::SendTrace trace;
    qel::m4::TeleopStatus done;
    {
        qel::m4::LeaderFollower teleop(*leader.controller, *follower.controller, options);
        // A hand pushing joint 2 up and down and joint 1 to and fro, half a
        // second each way.
        const auto start = qel::sim::VirtualArm::Clock::now();
        for (int k = 0; k * 0.5 < seconds; ++k) {
            const auto at = start + std::chrono::milliseconds(500 * k);
            leader.arm->push(2, k % 2 == 0 ? 0.4 : -0.4, at, 400ms);
            leader.arm->push(1, k % 4 < 2 ? 0.3 : -0.3, at, 400ms);
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        done = teleop.stop();
    }
    trace.stop();

    const std::vector<qel::test::SentEvent> events = trace.events();
    qel::test::TeleopParties parties;
    parties.leader_arm = leader.arm_thread;
    parties.follower_control = follower.controlThread(events);
    parties.motor = 2;
    handed.resize(static_cast<std::size_t>(std::min<int>(steps, kMaxSteps)));
    const std::vector<qel::test::StepLatency> latencies = qel::test::teleopLatencies(events, parties, handed);
    std::vector<int> cycles;
    std::vector<int> after;
    for (const qel::test::StepLatency& l : latencies) {
        cycles.push_back(l.cycles);
        after.push_back(l.after_handover);
    }

    std::printf("streamed %llu steps in %.1f s: %llu leader cycles without a step, %llu held to the catch-up "
                "speed, %llu refused%s%s\n",
                static_cast<unsigned long long>(done.steps), done.wall_seconds,
                static_cast<unsigned long long>(done.missed_cycles), static_cast<unsigned long long>(done.caught_up),
                static_cast<unsigned long long>(done.refused), done.refused > 0 ? ": " : "",
                done.first_refusal.c_str());
    std::printf("leader-to-follower latency over %zu steps on which joint 2 moved (follower cycles from the "
                "leader's feedback frame to the command frame carrying its position):\n"
                "  median %.0f, p99 %.0f, max %.0f cycles; %ld of them more than 2\n",
                latencies.size(), percentile(cycles, 0.5), percentile(cycles, 0.99), percentile(cycles, 1.0),
                static_cast<long>(std::count_if(cycles.begin(), cycles.end(), [](int c) { return c > 2; })));
    std::printf("  of which after the hand-over to the follower: median %.0f, max %.0f cycles\n",
                percentile(after, 0.5), percentile(after, 1.0));
    std::printf("streaming thread: %.3f s of CPU in %.1f s, %.2f%% of a CPU\n", done.cpu_seconds, done.wall_seconds,
                done.wall_seconds > 0 ? 100.0 * done.cpu_seconds / done.wall_seconds : 0.0);
    if (trace.overflowed() > 0) std::printf("(the send trace overflowed: %zu events lost)\n", trace.overflowed());
    for (Station& s : stations) {
        s.controller->setArmStatus(2);
        s.controller.reset();
        s.arm.reset();
    }
    return 0;
}
