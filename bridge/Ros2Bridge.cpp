#include "bridge/Ros2Bridge.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include <pthread.h>

#include <dds/dds.h>

#include "bridge/CommandCheck.hpp"
#include "bridge/PublishSchedule.hpp"
#include "bridge/RosNames.hpp"
#include "diagnostic_msgs.h"

namespace qel::ros2 {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int64_t kCyclePeriodNs = 5000000;  // the controller's 200 Hz
constexpr auto kDiagnosticsPeriod = 1s;
// A flood of bad commands must not become a flood of diagnostics: changes are
// published at once, but no more often than this.
constexpr auto kDiagnosticsMinGap = 100ms;
// Error codes are collected this often; the list's lock is shared with the
// control thread, so it is not taken every state cycle.
constexpr auto kErrorCodePoll = 100ms;
// No new control cycle for this long: the loop has stopped.
constexpr auto kStaleAfter = 100ms;
// The shortest and longest wait of the state thread between looks at the arm.
constexpr auto kMinPoll = 200us;
constexpr auto kMaxPoll = 5ms;

enum Level : uint8_t { kOk = 0, kWarn = 1, kError = 2 };

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

const char* stateName(int state) {
    static constexpr std::array<const char*, 6> kNames{
        "soft", "go home", "protect", "gravity compensation", "pose control", "joint position control"};
    return state >= 0 && state < static_cast<int>(kNames.size()) ? kNames[state] : "damped";
}

const char* motionStateName(m4::MotionState state) {
    switch (state) {
        case m4::MotionState::kIdle: return "idle";
        case m4::MotionState::kMoving: return "moving";
        case m4::MotionState::kDone: return "done";
        case m4::MotionState::kStopped: return "stopped";
        case m4::MotionState::kRefused: return "refused";
        case m4::MotionState::kAborted: return "aborted";
    }
    return "unknown";
}

// The motion as the topics name it: joint_command streams, joint_trajectory
// follows; the library's own moves show by their operation.
const char* motionKindName(m4::MotionKind kind) {
    switch (kind) {
        case m4::MotionKind::kNone: return "none";
        case m4::MotionKind::kJoint: return "joint move";
        case m4::MotionKind::kLine: return "line";
        case m4::MotionKind::kTrajectory: return "trajectory";
        case m4::MotionKind::kServo: return "stream";
    }
    return "unknown";
}

void check(dds_entity_t entity, const char* what) {
    if (entity < 0) {
        throw std::runtime_error(std::string("DDS: cannot create the ") + what + ": " +
                                 dds_strretcode(entity));
    }
}

// One report on the arm's health, and what makes two reports different
// enough to publish the second at once.
struct Health {
    uint8_t level = kOk;
    std::string message;
    std::vector<std::pair<std::string, std::string>> values;
    // Compared for changes.
    int state = 1;
    bool latched = false;
    int latched_code = 0;
    bool stale = false;
    std::set<int> codes;
    uint64_t refused = 0;
    m4::MotionState motion = m4::MotionState::kIdle;
    m4::MotionKind motion_kind = m4::MotionKind::kNone;
    std::string motion_reason;

    bool differs(const Health& other) const {
        return state != other.state || latched != other.latched || latched_code != other.latched_code ||
               stale != other.stale || codes != other.codes || refused != other.refused ||
               motion != other.motion || motion_kind != other.motion_kind || motion_reason != other.motion_reason;
    }
};

}  // namespace

// The DDS entities. Types are written as ROS 2's middleware names them; the
// QoS is ROS 2's default profile.
struct Ros2Bridge::Dds {
    dds_entity_t participant = 0;
    dds_entity_t joint_states = 0;
    dds_entity_t diagnostics = 0;
    dds_entity_t joint_command = 0;
    dds_entity_t joint_trajectory = 0;
    dds_entity_t arm_state = 0;
    dds_entity_t damp = 0;
    dds_entity_t resume = 0;
    dds_entity_t gripper_command = 0;
    dds_entity_t waitset = 0;
    dds_entity_t wake = 0;  // guard condition that ends the command thread's wait

    ~Dds() {
        if (participant > 0) dds_delete(participant);
    }
};

namespace {

// ROS 2's default profile keeps the last 10 samples.
constexpr int32_t kRosHistoryDepth = 10;

dds_qos_t* rosDefaultQos(bool writer, int32_t depth) {
    dds_qos_t* qos = dds_create_qos();
    // A reliable write waits at most this long for room in the history of a
    // slow reader (ROS 2's default), then fails and is counted.
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, depth);
    dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
    if (writer) {
        dds_qset_writer_data_lifecycle(qos, false);
        // Classic CDR, which is what ROS 2's middleware writes and reads.
        const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos, 1, &xcdr1);
    }
    return qos;
}

dds_entity_t endpoint(dds_entity_t participant, const dds_topic_descriptor_t* type, const std::string& name,
                      bool writer, int32_t depth = kRosHistoryDepth) {
    const dds_entity_t topic = dds_create_topic(participant, type, name.c_str(), nullptr, nullptr);
    check(topic, ("topic " + name).c_str());
    dds_qos_t* qos = rosDefaultQos(writer, depth);
    const dds_entity_t entity = writer ? dds_create_writer(participant, topic, qos, nullptr)
                                       : dds_create_reader(participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    check(entity, ((writer ? "writer for " : "reader for ") + name).c_str());
    return entity;
}

}  // namespace

Ros2Bridge::Ros2Bridge(const BridgeOptions& options) : options_(options), dds_(std::make_unique<Dds>()) {
    if (!(options.rate_hz > 0.0 && options.rate_hz <= kMaxRateHz)) {
        throw std::invalid_argument("the joint_states rate must be above 0 and at most 200 per second");
    }
    const std::string& ns = options_.ros_namespace;
    Dds& d = *dds_;
    d.participant = dds_create_participant(static_cast<dds_domainid_t>(options.domain), nullptr, nullptr);
    check(d.participant, "participant (check CYCLONEDDS_URI and the network interfaces)");
    d.joint_states = endpoint(d.participant, &sensor_msgs_msg_dds__JointState__desc,
                              topicName(ns, topic::kJointStates), true);
    d.diagnostics = endpoint(d.participant, &diagnostic_msgs_msg_dds__DiagnosticArray__desc,
                             topicName(ns, topic::kDiagnostics), true);
    // A streamed target that waited behind a newer one is out of date: the
    // reader keeps only the newest (the depth of a history is a reader's own
    // choice; it matches any writer). Streaming a backlog at once would also
    // make the stream look many times faster than it is.
    d.joint_command = endpoint(d.participant, &sensor_msgs_msg_dds__JointState__desc,
                               topicName(ns, topic::kJointCommand), false, 1);
    d.joint_trajectory = endpoint(d.participant, &trajectory_msgs_msg_dds__JointTrajectory__desc,
                                  topicName(ns, topic::kJointTrajectory), false);
    d.arm_state = endpoint(d.participant, &std_msgs_msg_dds__Int32__desc, topicName(ns, topic::kArmState), false);
    d.damp = endpoint(d.participant, &std_msgs_msg_dds__Bool__desc, topicName(ns, topic::kDamp), false);
    d.resume = endpoint(d.participant, &std_msgs_msg_dds__Int32__desc, topicName(ns, topic::kResume), false);
    d.gripper_command = endpoint(d.participant, &control_msgs_msg_dds__GripperCommand__desc,
                                 topicName(ns, topic::kGripperCommand), false);
    d.waitset = dds_create_waitset(d.participant);
    check(d.waitset, "waitset");
    d.wake = dds_create_guardcondition(d.participant);
    check(d.wake, "guard condition");
    check(dds_waitset_attach(d.waitset, d.wake, 0), "waitset attachment");
    for (const dds_entity_t reader : {d.joint_command, d.joint_trajectory, d.arm_state, d.damp, d.resume,
                                      d.gripper_command}) {
        const dds_entity_t condition = dds_create_readcondition(reader, DDS_ANY_STATE);
        check(condition, "read condition");
        check(dds_waitset_attach(d.waitset, condition, reader), "waitset attachment");
    }
}

Ros2Bridge::~Ros2Bridge() {
    stop_ = true;
    {
        std::lock_guard<std::mutex> guard(wake_mutex_);
        wake_.notify_all();
    }
    dds_set_guardcondition(dds_->wake, true);
    if (state_thread_.joinable()) state_thread_.join();
    if (command_thread_.joinable()) command_thread_.join();
}

void Ros2Bridge::attach(ArmPort& arm) {
    if (arm_ != nullptr) throw std::logic_error("Ros2Bridge::attach: already serving an arm");
    arm_ = &arm;
    edge_ = std::make_unique<CommandEdge>(arm);
    // Named for ps -L, top -H and the timing tool.
    state_thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "qel-ros2-state");
        stateLoop();
    });
    command_thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "qel-ros2-cmd");
        commandLoop();
    });
}

BridgeCounters Ros2Bridge::counters() const {
    BridgeCounters counters;
    counters.joint_states = joint_states_;
    counters.joint_states_skipped = joint_states_skipped_;
    counters.joint_states_failed = joint_states_failed_;
    counters.diagnostics = diagnostics_;
    counters.write_failures = write_failures_;
    if (edge_) counters.commands = edge_->tally();
    return counters;
}

void Ros2Bridge::publishJointStates(const m4::JointSample& sample) {
    // Borrowed buffers: the write serialises them, nothing is allocated.
    m4::JointSample values = sample;
    std::array<char*, 7> names;
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = const_cast<char*>(kJointNames[i]);
    auto doubles = [](std::array<double, 7>& array) {
        return dds_sequence_double{7, 7, array.data(), false};
    };
    sensor_msgs_msg_dds__JointState_ message{};
    message.header.stamp.sec = static_cast<int32_t>(sample.time_ns / 1000000000);
    message.header.stamp.nanosec = static_cast<uint32_t>(sample.time_ns % 1000000000);
    message.header.frame_id = const_cast<char*>("");
    message.name = dds_sequence_string{7, 7, names.data(), false};
    message.position = doubles(values.positions);
    message.velocity = doubles(values.velocities);
    message.effort = doubles(values.currents);
    if (dds_write(dds_->joint_states, &message) < 0) {
        ++joint_states_failed_;
        ++write_failures_;
    } else {
        ++joint_states_;
    }
}

namespace {

// The state thread's view of the control loop and the error codes between two
// diagnostics.
class HealthWatch {
public:
    void see(const m4::JointSample& sample, Clock::time_point now) {
        if (sample.cycle == last_cycle_ && seen_) return;
        if (seen_ && sample.cycle > last_cycle_) {
            const double period_ms =
                (sample.time_ns - last_time_ns_) / 1e6 / static_cast<double>(sample.cycle - last_cycle_);
            longest_ms_ = std::max(longest_ms_, period_ms);
        }
        if (!window_open_) {
            window_cycle_ = sample.cycle;
            window_time_ns_ = sample.time_ns;
            window_open_ = true;
        }
        seen_ = true;
        last_cycle_ = sample.cycle;
        last_time_ns_ = sample.time_ns;
        last_progress_ = now;
    }
    void codes(const std::vector<int>& codes) {
        for (int code : codes) ++window_codes_[code];
        total_codes_ += codes.size();
    }
    bool stale(Clock::time_point now) const { return !seen_ || now - last_progress_ > kStaleAfter; }

    Health health(ArmPort& arm, const BridgeCounters& counters, Clock::time_point now) const {
        const CommandTally& commands = counters.commands;
        const m4::MotionStatus motion = arm.motionStatus();
        Health h;
        h.state = commands.state;
        h.latched = arm.faultLatched();
        h.latched_code = h.latched ? arm.latchedFaultCode() : 0;
        const std::string latched_message = h.latched ? arm.latchedFaultMessage() : "";
        h.stale = stale(now);
        for (const auto& entry : window_codes_) h.codes.insert(entry.first);
        h.refused = commands.refused;
        h.motion = motion.state;
        h.motion_kind = motion.kind;
        h.motion_reason = motion.reason;

        std::string codes;
        for (const auto& [code, count] : window_codes_) {
            codes += (codes.empty() ? "" : ", ") + std::to_string(code) + " x" + std::to_string(count);
        }
        const bool refused_lately = commands.refused != refused_at_last_report_;
        if (h.latched) {
            h.level = kError;
            h.message = "fault latched: " + latched_message;
        } else if (h.stale) {
            h.level = kError;
            h.message = "no control cycle for over 100 ms";
        } else if (!h.codes.empty()) {
            h.level = kWarn;
            h.message = "error codes: " + codes;
        } else if (refused_lately) {
            h.level = kWarn;
            h.message = "refused " + commands.last_refusal;
        } else {
            h.level = kOk;
            h.message = "running";
        }
        const uint64_t cycles = last_cycle_ - window_cycle_;
        const double mean_ms = cycles > 0 ? (last_time_ns_ - window_time_ns_) / 1e6 / cycles : 0.0;
        h.values = {
            {"state", std::to_string(commands.state) + " " + stateName(commands.state)},
            {"fault latched", h.latched ? "true" : "false"},
            {"latched code", std::to_string(h.latched_code)},
            {"latched message", latched_message},
            {"error codes", codes.empty() ? "none" : codes},
            {"error codes total", std::to_string(total_codes_)},
            {"control cycles", std::to_string(last_cycle_)},
            {"control period mean ms", cycles > 0 ? fixed(mean_ms, 3) : "n/a"},
            {"control period max ms", cycles > 0 ? fixed(longest_ms_, 3) : "n/a"},
            {"joint_states published", std::to_string(counters.joint_states)},
            {"joint_states skipped", std::to_string(counters.joint_states_skipped)},
            {"joint_states write failures", std::to_string(counters.joint_states_failed)},
            {"commands accepted", std::to_string(commands.accepted)},
            {"commands refused", std::to_string(commands.refused)},
            {"last refusal", commands.last_refusal},
            {"motion", motionStateName(motion.state)},
            {"motion kind", motionKindName(motion.kind)},
            {"motion reason", motion.reason},
            {"motion progress", fixed(motion.progress, 2)},
        };
        return h;
    }
    // A report went out: the next window starts.
    void reported(const CommandTally& commands) {
        window_codes_.clear();
        window_open_ = false;
        longest_ms_ = 0.0;
        refused_at_last_report_ = commands.refused;
        if (seen_) {
            window_cycle_ = last_cycle_;
            window_time_ns_ = last_time_ns_;
            window_open_ = true;
        }
    }

private:
    bool seen_ = false;
    uint64_t last_cycle_ = 0;
    int64_t last_time_ns_ = 0;
    Clock::time_point last_progress_{};
    bool window_open_ = false;
    uint64_t window_cycle_ = 0;
    int64_t window_time_ns_ = 0;
    double longest_ms_ = 0.0;
    std::map<int, uint64_t> window_codes_;
    uint64_t total_codes_ = 0;
    uint64_t refused_at_last_report_ = 0;
};

int64_t systemNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Ros2Bridge::stateLoop() {
    PublishSchedule schedule(options_.rate_hz);
    const double cycles_per_sample = PublishSchedule::kControlRateHz / options_.rate_hz;
    HealthWatch watch;
    Health last_health;
    bool reported_any = false;
    Clock::time_point last_report{};
    Clock::time_point last_codes{};

    while (!stop_) {
        const Clock::time_point now = Clock::now();
        const m4::JointSample sample = arm_->sample();
        watch.see(sample, now);
        // A slot that passed while this thread was elsewhere is not caught
        // up with a burst of stale samples: it is skipped and counted.
        uint64_t skipped = 0;
        if (schedule.take(sample.cycle, &skipped)) publishJointStates(sample);
        joint_states_skipped_ += skipped;

        if (now - last_codes >= kErrorCodePoll) {
            watch.codes(arm_->takeErrorCodes());
            last_codes = now;
        }
        const BridgeCounters counts = counters();
        const CommandTally& commands = counts.commands;
        const Health health = watch.health(*arm_, counts, now);
        const bool report_due = !reported_any || now - last_report >= kDiagnosticsPeriod;
        const bool changed =
            reported_any && health.differs(last_health) && now - last_report >= kDiagnosticsMinGap;
        if (report_due || changed) {
            std::vector<diagnostic_msgs_msg_dds__KeyValue_> pairs(health.values.size());
            const std::size_t count = pairs.size();
            for (std::size_t i = 0; i < count; ++i) {
                pairs[i].key = const_cast<char*>(health.values[i].first.c_str());
                pairs[i].value = const_cast<char*>(health.values[i].second.c_str());
            }
            const std::string name = options_.ros_namespace.empty() ? "qel_m4 arm"
                                                                   : options_.ros_namespace + ": qel_m4 arm";
            diagnostic_msgs_msg_dds__DiagnosticStatus_ status{};
            status.level = health.level;
            status.name = const_cast<char*>(name.c_str());
            status.message = const_cast<char*>(health.message.c_str());
            status.hardware_id = const_cast<char*>(options_.hardware_id.c_str());
            status.values = {static_cast<uint32_t>(count), static_cast<uint32_t>(count), pairs.data(), false};
            diagnostic_msgs_msg_dds__DiagnosticArray_ array{};
            const int64_t stamp = systemNanos();
            array.header.stamp.sec = static_cast<int32_t>(stamp / 1000000000);
            array.header.stamp.nanosec = static_cast<uint32_t>(stamp % 1000000000);
            array.header.frame_id = const_cast<char*>("");
            array.status = {1, 1, &status, false};
            if (dds_write(dds_->diagnostics, &array) < 0) {
                ++write_failures_;
            } else {
                ++diagnostics_;
            }
            watch.reported(commands);
            last_health = health;
            reported_any = true;
            last_report = now;
        }

        // Sleep until the cycle due next should have published its sample
        // (the controller's cycles are 5 ms apart on the system clock), then
        // look in short steps; a loop that has fallen silent is looked at
        // less and less often.
        const uint64_t next_slot = schedule.nextDue();
        const int64_t cycles_ahead =
            next_slot > sample.cycle ? static_cast<int64_t>(next_slot - sample.cycle) : 0;
        const int64_t due_ns = sample.time_ns + cycles_ahead * kCyclePeriodNs;
        const int64_t until_due = due_ns - systemNanos();
        Clock::duration wait;
        if (until_due > 0) {
            wait = std::chrono::nanoseconds(until_due);
        } else {
            wait = std::chrono::nanoseconds(-until_due / 4);
        }
        wait = std::clamp<Clock::duration>(wait, kMinPoll, kMaxPoll);
        if (cycles_ahead > 0) {
            // Waiting for a sample: no longer than one sample period.
            wait = std::min<Clock::duration>(wait, std::chrono::nanoseconds(
                static_cast<int64_t>(cycles_per_sample * kCyclePeriodNs)));
        }
        std::unique_lock<std::mutex> lock(wake_mutex_);
        // A command that was just handled may have changed what the
        // diagnostics say: look at once.
        wake_.wait_for(lock, wait, [this] { return stop_.load() || commands_changed_; });
        commands_changed_ = false;
    }
}

void Ros2Bridge::commandLoop() {
    Dds& d = *dds_;
    constexpr std::size_t kBatch = 16;
    std::array<dds_attach_t, 8> triggered{};
    while (!stop_) {
        const dds_return_t count =
            dds_waitset_wait(d.waitset, triggered.data(), triggered.size(), DDS_INFINITY);
        if (stop_) break;
        if (count <= 0) continue;
        const Clock::time_point arrival = Clock::now();
        bool handled = false;
        for (dds_return_t t = 0; t < count; ++t) {
            const dds_entity_t reader = static_cast<dds_entity_t>(triggered[t]);
            if (reader == 0) continue;  // the guard condition
            std::array<void*, kBatch> samples{};
            std::array<dds_sample_info_t, kBatch> infos{};
            const dds_return_t taken = dds_take(reader, samples.data(), infos.data(), kBatch, kBatch);
            for (dds_return_t i = 0; i < taken; ++i) {
                if (!infos[i].valid_data) continue;
                handled = true;
                const void* sample = samples[i];
                if (reader == d.joint_command) {
                    edge_->jointCommand(*static_cast<const sensor_msgs_msg_dds__JointState_*>(sample), arrival);
                } else if (reader == d.joint_trajectory) {
                    edge_->jointTrajectory(*static_cast<const trajectory_msgs_msg_dds__JointTrajectory_*>(sample));
                } else if (reader == d.arm_state) {
                    edge_->armState(*static_cast<const std_msgs_msg_dds__Int32_*>(sample));
                } else if (reader == d.damp) {
                    edge_->damp(*static_cast<const std_msgs_msg_dds__Bool_*>(sample));
                } else if (reader == d.resume) {
                    edge_->resume(*static_cast<const std_msgs_msg_dds__Int32_*>(sample));
                } else if (reader == d.gripper_command) {
                    edge_->gripperCommand(*static_cast<const control_msgs_msg_dds__GripperCommand_*>(sample));
                }
            }
            if (taken > 0) dds_return_loan(reader, samples.data(), taken);
        }
        if (handled) {
            std::lock_guard<std::mutex> guard(wake_mutex_);
            commands_changed_ = true;
            wake_.notify_one();
        }
    }
}

}  // namespace qel::ros2
