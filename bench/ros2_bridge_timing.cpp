// Timing of the ROS 2 bridge: the virtual arm, the controller and the bridge
// in this process on the in-process bus, the test suite's ROS 2 peer as a
// subscriber in another process on loopback DDS. Reports the joint_states
// rate achieved (from the samples' own stamps), the latency from the control
// cycle that took the values to the subscriber (received minus stamp, both on
// the system clock: median, p99, max), and the CPU time of the bridge's two
// threads and of Cyclone DDS's threads against the run's wall time. While it
// measures, a second peer streams joint_command at COMMANDS a second (a slow
// ramp of joint 1, as a ros2_control hardware interface streams), so that the
// figures include the command path; 0 leaves it out. It reports and never
// fails; run it on a quiet machine.
//
//   ros2_bridge_timing [SECONDS=30] [RATE=100] [COMMANDS=100]
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/ArmPort.hpp"
#include "bridge/Ros2Bridge.hpp"
#include "bridge/Ros2Peer.hpp"
#include "qel/interfaces/InterfacesThread.hpp"
#include "sim/VirtualArm.hpp"

namespace {

// CPU seconds (user + system) per thread name of this process.
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> cpu;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return cpu;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream stat(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        const std::string name = text.substr(open + 1, close - open - 1);
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::atof(field.c_str());
            if (i == 15) stime = std::atof(field.c_str());
        }
        cpu[name] += (utime + stime) / tick;
    }
    closedir(tasks);
    return cpu;
}

double percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * (values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    const double rate = argc > 2 ? std::atof(argv[2]) : 100.0;
    const int command_rate = argc > 3 ? std::atoi(argv[3]) : 100;
    const int domain = qel::test::useLoopbackDds();

    qel::sim::VirtualArmOptions sim_options;
    sim_options.interface = "vcan0";
    qel::sim::VirtualArm sim(sim_options);
    sim.start();
    qel::m4::InterfacesThread arm(QEL_URDF_PATH, "vcan0", 0);
    qel::ros2::InterfacesArm port(arm);
    qel::ros2::BridgeOptions options;
    options.ros_namespace = "timing";
    options.rate_hz = rate;
    options.domain = domain;
    options.hardware_id = "vcan0";
    qel::ros2::Ros2Bridge bridge(options);
    bridge.attach(port);
    qel::test::Ros2Peer peer;
    if (!peer.ready()) {
        std::fprintf(stderr, "ros2_bridge_timing: the peer did not start\n");
        return 1;
    }
    peer.states("timing", 20);  // matched and flowing
    qel::test::Ros2Peer commander;
    std::string stream_command;
    if (command_rate > 0) {
        if (!commander.ready()) {
            std::fprintf(stderr, "ros2_bridge_timing: the commanding peer did not start\n");
            return 1;
        }
        // From where the arm rests, 0.2 rad of joint 1 over the whole run.
        std::string from, to;
        const std::vector<double> q = arm.getJointPositons();
        for (std::size_t i = 0; i < 6; ++i) {
            char text[64];
            std::snprintf(text, sizeof text, "%s%.6f", i ? "," : "", q[i]);
            from += text;
            std::snprintf(text, sizeof text, "%s%.6f", i ? "," : "", q[i] + (i == 0 ? 0.2 : 0.0));
            to += text;
        }
        stream_command = "stream timing joint1,joint2,joint3,joint4,joint5,joint6 " + std::to_string(command_rate) +
                         " " + std::to_string(seconds * command_rate) + " " + from + " " + to;
    }

    const auto cpu_before = threadCpu();
    const auto wall_before = std::chrono::steady_clock::now();
    std::string streamed = "not streamed";
    std::thread streaming;
    if (!stream_command.empty()) streaming = std::thread([&] { streamed = commander.run(stream_command); });
    const int count = static_cast<int>(seconds * rate);
    const std::vector<qel::test::PeerState> states = peer.states("timing", count, seconds * 2 + 30);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    const auto cpu_after = threadCpu();
    if (streaming.joinable()) streaming.join();

    if (states.size() < 2) {
        std::fprintf(stderr, "ros2_bridge_timing: received %zu samples\n", states.size());
        return 1;
    }
    std::vector<double> latency_us, gaps_ms;
    for (std::size_t i = 0; i < states.size(); ++i) {
        latency_us.push_back((states[i].received_ns - states[i].stamp_ns) / 1e3);
        if (i > 0) gaps_ms.push_back((states[i].stamp_ns - states[i - 1].stamp_ns) / 1e6);
    }
    const double span_s = (states.back().stamp_ns - states.front().stamp_ns) / 1e9;
    std::printf("joint_states at --rate %g: %zu samples over %.2f s of stamps: %.2f per second\n", rate,
                states.size(), span_s, (states.size() - 1) / span_s);
    std::printf("  gap between stamps: median %.3f ms, p99 %.3f ms, max %.3f ms\n", percentile(gaps_ms, 0.5),
                percentile(gaps_ms, 0.99), percentile(gaps_ms, 1.0));
    std::printf("latency control cycle -> subscriber (loopback): median %.0f us, p99 %.0f us, max %.0f us\n",
                percentile(latency_us, 0.5), percentile(latency_us, 0.99), percentile(latency_us, 1.0));
    double bridge_cpu = 0, library_cpu = 0, other_cpu = 0;
    std::printf("CPU over %.1f s of wall time, per thread (%% of one core):\n", wall);
    for (const auto& [name, after] : cpu_after) {
        const auto found = cpu_before.find(name);
        const double used = after - (found == cpu_before.end() ? 0.0 : found->second);
        std::printf("  %-16s %6.2f %%\n", name.c_str(), 100.0 * used / wall);
        if (name.rfind("qel-ros2", 0) == 0) {
            bridge_cpu += used;
        } else if (name.rfind("qel-", 0) == 0) {
            library_cpu += used;
        } else {
            other_cpu += used;
        }
    }
    std::printf("bridge threads %.2f %%, library threads %.2f %%, everything else (DDS, the virtual arm, the "
                "in-process bus, main) %.2f %%\n",
                100.0 * bridge_cpu / wall, 100.0 * library_cpu / wall, 100.0 * other_cpu / wall);
    const auto counters = bridge.counters();
    std::printf("bridge: %llu joint_states, %llu skipped, %llu diagnostics, %llu write failures\n",
                static_cast<unsigned long long>(counters.joint_states),
                static_cast<unsigned long long>(counters.joint_states_skipped),
                static_cast<unsigned long long>(counters.diagnostics),
                static_cast<unsigned long long>(counters.write_failures));
    if (command_rate > 0) {
        std::printf("joint_command at %d per second: peer %s; bridge accepted %llu, refused %llu%s%s\n", command_rate,
                    streamed.c_str(), static_cast<unsigned long long>(counters.commands.accepted),
                    static_cast<unsigned long long>(counters.commands.refused),
                    counters.commands.last_refusal.empty() ? "" : ", last: ",
                    counters.commands.last_refusal.c_str());
    }
    return 0;
}
