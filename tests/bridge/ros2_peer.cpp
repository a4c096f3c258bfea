// A ROS 2 peer made of Cyclone DDS alone and the test's own copy of the
// message types: what a stock ROS 2 node on the Cyclone DDS middleware does on
// the wire, without ROS 2. The tests drive it line by line on standard input;
// it answers on standard output, each command ending in a line "ok ..." or
// "fail ...".
//
//   states NS COUNT SECONDS        the next COUNT joint_states samples, one line each:
//                                  state STAMP_NS RECEIVED_NS NAMES POSITIONS
//                                  VELOCITIES EFFORTS (comma-separated lists)
//   diagnostics NS SECONDS TEXT    the first diagnostics written since the
//                                  peer's last command that contain TEXT (the
//                                  rest of the line) in their message, their
//                                  "hardware ID", "name NAME" or a "KEY=VALUE":
//                                  "diag LEVEL MESSAGE", "hardware ID",
//                                  "name NAME" and "kv KEY=VALUE" lines
//   int NS TOPIC VALUE             std_msgs/Int32 on TOPIC
//   bool NS TOPIC 0|1              std_msgs/Bool on TOPIC
//   gripper NS POSITION EFFORT     control_msgs/GripperCommand on gripper_command
//   command NS NAMES POSITIONS     sensor_msgs/JointState on joint_command
//   stream NS NAMES HZ COUNT FROM TO
//                                  COUNT of them, HZ a second on this process's
//                                  clock, as a ros2_control hardware interface
//                                  streams: the k-th (1 to COUNT) at FROM +
//                                  k / COUNT (TO - FROM), positions only,
//                                  stamped with the system clock
//   trajectory NS NAMES T:P,..;..  trajectory_msgs/JointTrajectory on
//                                  joint_trajectory, points as seconds:positions
//   quit
// NS "-" is the empty namespace; a list "-" is empty. Writers wait up to ten
// seconds to be matched before they write.
#include <dds/dds.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ros2_messages.h"

namespace {

using Clock = std::chrono::steady_clock;

dds_entity_t g_participant = 0;
// When the peer last wrote a command: diagnostics older than that say nothing
// about what the command did.
dds_time_t g_last_write = 0;

std::string topicOf(const std::string& ns, const std::string& name) {
    return ns == "-" ? "rt/" + name : "rt/" + ns + "/" + name;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text == "-") return parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

std::vector<double> numbers(const std::string& text) {
    std::vector<double> values;
    for (const std::string& part : split(text, ',')) values.push_back(std::strtod(part.c_str(), nullptr));
    return values;
}

// ROS 2's default profile: reliable, volatile, keep last 10.
dds_qos_t* rosQos() {
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    return qos;
}

// One reader or writer per topic, made on first use and kept.
dds_entity_t endpoint(const dds_topic_descriptor_t* type, const std::string& name, bool writer) {
    static std::map<std::string, dds_entity_t> made;
    const std::string key = (writer ? "w " : "r ") + name;
    const auto found = made.find(key);
    if (found != made.end()) return found->second;
    const dds_entity_t topic = dds_create_topic(g_participant, type, name.c_str(), nullptr, nullptr);
    dds_qos_t* qos = rosQos();
    const dds_entity_t entity = writer ? dds_create_writer(g_participant, topic, qos, nullptr)
                                       : dds_create_reader(g_participant, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (topic < 0 || entity < 0) {
        std::printf("fail cannot create %s\n", name.c_str());
        std::exit(1);
    }
    made[key] = entity;
    return entity;
}

bool matched(dds_entity_t writer) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        dds_publication_matched_status_t status;
        if (dds_get_publication_matched_status(writer, &status) == 0 && status.current_count > 0) return true;
        dds_sleepfor(DDS_MSECS(10));
    }
    return false;
}

void write(const dds_topic_descriptor_t* type, const std::string& topic, const void* sample) {
    const dds_entity_t writer = endpoint(type, topic, true);
    if (!matched(writer)) {
        std::printf("fail nobody reads %s\n", topic.c_str());
        return;
    }
    g_last_write = dds_time();
    const dds_return_t rc = dds_write(writer, sample);
    std::printf(rc == 0 ? "ok\n" : "fail write %d\n", static_cast<int>(rc));
}

int64_t systemNanos() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string list(const dds_sequence_double& values) {
    std::string text;
    for (uint32_t i = 0; i < values._length; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%.6f", i ? "," : "", values._buffer[i]);
        text += number;
    }
    return text.empty() ? "-" : text;
}

// Takes samples of `reader` written at `not_before` or later as they come,
// until `handle` says it has enough or `seconds` pass; false on time-out.
template <typename Sample, typename Handle>
bool takeUntil(dds_entity_t reader, dds_time_t not_before, double seconds, Handle handle) {
    const dds_entity_t waitset = dds_create_waitset(g_participant);
    const dds_entity_t condition = dds_create_readcondition(reader, DDS_ANY_STATE);
    dds_waitset_attach(waitset, condition, 0);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    bool done = false;
    while (!done && Clock::now() < deadline) {
        dds_waitset_wait(waitset, nullptr, 0, DDS_MSECS(50));
        void* samples[16] = {};
        dds_sample_info_t infos[16];
        const dds_return_t n = dds_take(reader, samples, infos, 16, 16);
        const int64_t received = systemNanos();
        for (dds_return_t i = 0; i < n && !done; ++i) {
            if (infos[i].valid_data && infos[i].source_timestamp >= not_before) done = handle(*static_cast<const Sample*>(samples[i]), received);
        }
        if (n > 0) dds_return_loan(reader, samples, n);
    }
    dds_delete(condition);
    dds_delete(waitset);
    return done;
}

void states(const std::string& ns, int count, double seconds) {
    const dds_entity_t reader = endpoint(&sensor_msgs_msg_dds__JointState__desc, topicOf(ns, "joint_states"), false);
    int got = 0;
    const bool done = takeUntil<sensor_msgs_msg_dds__JointState_>(
        reader, dds_time(), seconds, [&](const sensor_msgs_msg_dds__JointState_& s, int64_t received) {
            std::string names;
            for (uint32_t i = 0; i < s.name._length; ++i) names += std::string(i ? "," : "") + s.name._buffer[i];
            const int64_t stamp = static_cast<int64_t>(s.header.stamp.sec) * 1000000000 + s.header.stamp.nanosec;
            std::printf("state %lld %lld %s %s %s %s\n", static_cast<long long>(stamp),
                        static_cast<long long>(received), names.empty() ? "-" : names.c_str(),
                        list(s.position).c_str(), list(s.velocity).c_str(), list(s.effort).c_str());
            return ++got >= count;
        });
    std::printf(done ? "ok %d\n" : "fail timeout after %d\n", got);
}

void diagnostics(const std::string& ns, const std::string& text, double seconds) {
    const dds_entity_t reader =
        endpoint(&diagnostic_msgs_msg_dds__DiagnosticArray__desc, topicOf(ns, "diagnostics"), false);
    const bool done = takeUntil<diagnostic_msgs_msg_dds__DiagnosticArray_>(
        reader, g_last_write, seconds, [&](const diagnostic_msgs_msg_dds__DiagnosticArray_& array, int64_t) {
            for (uint32_t s = 0; s < array.status._length; ++s) {
                const auto& status = array.status._buffer[s];
                bool found = std::string(status.message).find(text) != std::string::npos ||
                             ("hardware " + std::string(status.hardware_id)).find(text) != std::string::npos ||
                             ("name " + std::string(status.name)).find(text) != std::string::npos;
                for (uint32_t v = 0; v < status.values._length; ++v) {
                    const auto& kv = status.values._buffer[v];
                    found = found || (std::string(kv.key) + "=" + kv.value).find(text) != std::string::npos;
                }
                if (!found) continue;
                std::printf("diag %d %s\n", status.level, status.message);
                std::printf("hardware %s\n", status.hardware_id);
                std::printf("name %s\n", status.name);
                for (uint32_t v = 0; v < status.values._length; ++v) {
                    std::printf("kv %s=%s\n", status.values._buffer[v].key, status.values._buffer[v].value);
                }
                return true;
            }
            return false;
        });
    std::printf(done ? "ok\n" : "fail no diagnostics with '%s'\n", text.c_str());
}

// Names as the message's own string sequence (pointers into `names`).
dds_sequence_string stringSequence(std::vector<std::string>& names, std::vector<char*>& pointers) {
    pointers.clear();
    for (std::string& name : names) pointers.push_back(name.data());
    return {static_cast<uint32_t>(pointers.size()), static_cast<uint32_t>(pointers.size()), pointers.data(), false};
}

dds_sequence_double doubleSequence(std::vector<double>& values) {
    return {static_cast<uint32_t>(values.size()), static_cast<uint32_t>(values.size()), values.data(), false};
}

void stream(const std::string& ns, std::vector<std::string> names, double hz, int count,
            const std::vector<double>& from, const std::vector<double>& to) {
    const dds_entity_t writer = endpoint(&sensor_msgs_msg_dds__JointState__desc, topicOf(ns, "joint_command"), true);
    if (!matched(writer)) {
        std::printf("fail nobody reads joint_command\n");
        return;
    }
    if (!(hz > 0) || count < 1 || from.size() != names.size() || to.size() != names.size()) {
        std::printf("fail bad stream\n");
        return;
    }
    std::vector<char*> pointers;
    std::vector<double> positions(names.size());
    sensor_msgs_msg_dds__JointState_ message{};
    message.header.frame_id = const_cast<char*>("");
    message.name = stringSequence(names, pointers);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    int failed = 0;
    auto start = Clock::now();
    for (int k = 1; k <= count; ++k) {
        std::this_thread::sleep_until(start + (k - 1) * period);
        for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = from[i] + (to[i] - from[i]) * k / count;
        message.position = doubleSequence(positions);
        g_last_write = dds_time();
        const int64_t now = systemNanos();
        message.header.stamp.sec = static_cast<int32_t>(now / 1000000000);
        message.header.stamp.nanosec = static_cast<uint32_t>(now % 1000000000);
        if (dds_write(writer, &message) != 0) ++failed;
        if (k == 1) {
            // The writer may know the reader before the reader knows the
            // writer; what it wrote meanwhile would arrive in one burst.
            // The stream's rhythm starts once the first command is in.
            if (dds_wait_for_acks(writer, DDS_SECS(10)) != 0) ++failed;
            start = Clock::now();
        }
    }
    if (failed > 0) {
        std::printf("fail %d of %d writes\n", failed, count);
    } else {
        std::printf("ok %d\n", count);
    }
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const char* domain = std::getenv("ROS_DOMAIN_ID");
    g_participant = dds_create_participant(domain ? std::atoi(domain) : 0, nullptr, nullptr);
    if (g_participant < 0) {
        std::printf("fail participant: %s\n", dds_strretcode(g_participant));
        return 1;
    }
    std::printf("ready\n");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string verb, ns;
        in >> verb >> ns;
        if (verb == "quit") break;
        if (verb == "states") {
            int count = 0;
            double seconds = 0;
            in >> count >> seconds;
            states(ns, count, seconds);
        } else if (verb == "diagnostics") {
            double seconds = 0;
            in >> seconds >> std::ws;
            std::string text;
            std::getline(in, text);
            diagnostics(ns, text, seconds);
        } else if (verb == "int" || verb == "bool") {
            std::string topic;
            long value = 0;
            in >> topic >> value;
            if (verb == "int") {
                std_msgs_msg_dds__Int32_ message{static_cast<int32_t>(value)};
                write(&std_msgs_msg_dds__Int32__desc, topicOf(ns, topic), &message);
            } else {
                std_msgs_msg_dds__Bool_ message{value != 0};
                write(&std_msgs_msg_dds__Bool__desc, topicOf(ns, topic), &message);
            }
        } else if (verb == "gripper") {
            control_msgs_msg_dds__GripperCommand_ message{};
            in >> message.position >> message.max_effort;
            write(&control_msgs_msg_dds__GripperCommand__desc, topicOf(ns, "gripper_command"), &message);
        } else if (verb == "command") {
            std::string names_text, positions_text;
            in >> names_text >> positions_text;
            std::vector<std::string> names = split(names_text, ',');
            std::vector<char*> pointers;
            std::vector<double> positions = numbers(positions_text);
            sensor_msgs_msg_dds__JointState_ message{};
            message.header.frame_id = const_cast<char*>("");
            message.name = stringSequence(names, pointers);
            message.position = doubleSequence(positions);
            write(&sensor_msgs_msg_dds__JointState__desc, topicOf(ns, "joint_command"), &message);
        } else if (verb == "stream") {
            std::string names_text, from_text, to_text;
            double hz = 0;
            int count = 0;
            in >> names_text >> hz >> count >> from_text >> to_text;
            stream(ns, split(names_text, ','), hz, count, numbers(from_text), numbers(to_text));
        } else if (verb == "trajectory") {
            std::string names_text, points_text;
            in >> names_text >> points_text;
            std::vector<std::string> names = split(names_text, ',');
            std::vector<char*> pointers;
            std::vector<std::vector<double>> positions;
            std::vector<trajectory_msgs_msg_dds__JointTrajectoryPoint_> points;
            for (const std::string& point : split(points_text, ';')) {
                const auto colon = point.find(':');
                positions.push_back(numbers(point.substr(colon + 1)));
                const double t = std::strtod(point.substr(0, colon).c_str(), nullptr);
                trajectory_msgs_msg_dds__JointTrajectoryPoint_ p{};
                p.time_from_start.sec = static_cast<int32_t>(std::floor(t));
                p.time_from_start.nanosec = static_cast<uint32_t>(std::llround((t - std::floor(t)) * 1e9));
                points.push_back(p);
            }
            for (std::size_t i = 0; i < points.size(); ++i) points[i].positions = doubleSequence(positions[i]);
            trajectory_msgs_msg_dds__JointTrajectory_ message{};
            message.header.frame_id = const_cast<char*>("");
            message.joint_names = stringSequence(names, pointers);
            message.points = {static_cast<uint32_t>(points.size()), static_cast<uint32_t>(points.size()),
                              points.data(), false};
            write(&trajectory_msgs_msg_dds__JointTrajectory__desc, topicOf(ns, "joint_trajectory"), &message);
        } else {
            std::printf("fail unknown command '%s'\n", verb.c_str());
        }
    }
    dds_delete(g_participant);
    return 0;
}
