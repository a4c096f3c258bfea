#pragma once

// The arm on ROS 2: a DDS participant that publishes the arm's state and takes
// its commands under ROS 2's own topic names, type names, encoding and default
// QoS, so that stock ROS 2 nodes on the Cyclone DDS middleware see it as one of
// theirs. docs/ros2.md lists the topics.
//
// Two threads of the bridge's own do all the DDS work: the state thread
// publishes joint_states and diagnostics, the command thread waits on the
// command readers and hands what passes the checks to the arm. The command
// thread never waits for a motion: streamed targets are handed over, and a
// trajectory returns as soon as the control thread has started it. Neither ever
// runs on, or holds anything the control thread waits for beyond the public
// interface's own exchange.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bridge/ArmPort.hpp"
#include "bridge/CommandEdge.hpp"

namespace qel::ros2 {

struct BridgeOptions {
    // ROS namespace, normalised (see normaliseNamespace): "" or e.g. "left".
    std::string ros_namespace;
    // joint_states per second, more than 0 and at most 200 (the control rate).
    double rate_hz = 100.0;
    // DDS domain (see chooseDomain).
    int domain = 0;
    // What the diagnostics name as the hardware, e.g. the CAN interface.
    std::string hardware_id;
};

// What the bridge has done so far, for its owner and its tests.
// Every joint_states slot that fell due (see PublishSchedule) is counted once:
// published, failed or skipped.
struct BridgeCounters {
    uint64_t joint_states = 0;          // samples published
    uint64_t joint_states_skipped = 0;  // slots passed over: the state thread looked too late
    uint64_t joint_states_failed = 0;   // samples DDS refused or timed out
    uint64_t diagnostics = 0;           // arrays published
    uint64_t write_failures = 0;        // writes DDS refused or timed out, of either topic
    CommandTally commands;
};

class Ros2Bridge {
public:
    static constexpr double kMaxRateHz = 200.0;

    // Joins the domain and creates the topics, writers and readers; nothing is
    // published or taken before attach. Throws std::invalid_argument for a
    // rate outside (0, 200], std::runtime_error naming the DDS failure if the
    // participant or an entity cannot be created (a bad CYCLONEDDS_URI, no
    // usable network interface).
    explicit Ros2Bridge(const BridgeOptions& options);
    // Stops both threads, then leaves the domain. The arm is not touched:
    // whoever owns it damps it by destroying it.
    ~Ros2Bridge();
    Ros2Bridge(const Ros2Bridge&) = delete;
    Ros2Bridge& operator=(const Ros2Bridge&) = delete;

    // Starts serving `arm`, which must outlive the bridge. Once only.
    void attach(ArmPort& arm);

    BridgeCounters counters() const;

private:
    struct Dds;
    void stateLoop();
    void commandLoop();
    void publishJointStates(const m4::JointSample& sample);
    void publishDiagnostics(const std::string& level_and_pairs);

    BridgeOptions options_;
    std::unique_ptr<Dds> dds_;
    ArmPort* arm_ = nullptr;
    std::unique_ptr<CommandEdge> edge_;

    std::atomic<bool> stop_{false};
    std::mutex wake_mutex_;
    std::condition_variable wake_;
    bool commands_changed_ = false;  // guarded by wake_mutex_

    std::atomic<uint64_t> joint_states_{0};
    std::atomic<uint64_t> joint_states_skipped_{0};
    std::atomic<uint64_t> joint_states_failed_{0};
    std::atomic<uint64_t> diagnostics_{0};
    std::atomic<uint64_t> write_failures_{0};
    std::thread state_thread_;
    std::thread command_thread_;
};

}  // namespace qel::ros2
