#pragma once

// The test suite's ROS 2 peer (ros2_peer) as a child process, driven line by
// line, and the loopback DDS set-up every bridge test shares.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace qel::test {

// DDS on the loopback interface only, with unicast discovery: the machine's
// other interfaces may not exist (the user-mode kernel has only lo) or carry
// no multicast. Set in the environment, so that the peer inherits it.
inline const char* kLoopbackDds =
    "<CycloneDDS><Domain><General><Interfaces><NetworkInterface name=\"lo\"/></Interfaces>"
    "<AllowMulticast>false</AllowMulticast></General>"
    "<Discovery><Peers><Peer address=\"127.0.0.1\"/></Peers><ParticipantIndex>auto</ParticipantIndex>"
    "<MaxAutoParticipantIndex>40</MaxAutoParticipantIndex></Discovery></Domain></CycloneDDS>";

// A DDS domain of this test process's own, so that tests running at the same
// time never see each other's topics; also set as ROS_DOMAIN_ID for the peer.
inline int useLoopbackDds() {
    const int domain = 1 + static_cast<int>(getpid() % 200);
    setenv("CYCLONEDDS_URI", kLoopbackDds, 1);
    setenv("ROS_DOMAIN_ID", std::to_string(domain).c_str(), 1);
    return domain;
}

// One sample of joint_states as the peer printed it.
struct PeerState {
    int64_t stamp_ns = 0;
    int64_t received_ns = 0;
    std::vector<std::string> names;
    std::vector<double> position, velocity, effort;
};

// The bridge's account of joint_states as one diagnostics gave it: the
// control cycle it was made at, and the publication slots up to it that were
// published, skipped (the bridge looked too late) or refused by DDS.
struct PublicationCount {
    uint64_t cycle = 0;
    uint64_t published = 0;
    uint64_t skipped = 0;
    uint64_t failed = 0;
};

// The joint_states slots that fall due after control cycle `after` up to
// cycle `upto` at `rate` a second (a whole number): slot k falls due at cycle
// ceil(k · 200 / rate), so that up to cycle n, floor(n · rate / 200) have.
inline uint64_t dueSlots(uint64_t after, uint64_t upto, uint64_t rate) {
    return upto * rate / 200 - after * rate / 200;
}

class Ros2Peer {
public:
    // Starts the peer with the environment of this process (call
    // useLoopbackDds first); ready() tells whether it came up.
    Ros2Peer() {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        posix_spawn_file_actions_addclose(&actions, to_child[1]);
        posix_spawn_file_actions_addclose(&actions, from_child[0]);
        char* argv[] = {const_cast<char*>(QEL_ROS2_PEER_PATH), nullptr};
        if (posix_spawn(&pid_, QEL_ROS2_PEER_PATH, &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        in_ = to_child[1];
        out_ = from_child[0];
        fcntl(in_, F_SETFD, FD_CLOEXEC);
        fcntl(out_, F_SETFD, FD_CLOEXEC);
        std::string line;
        ready_ = pid_ > 0 && readLine(&line, std::chrono::seconds(20)) && line == "ready";
    }
    ~Ros2Peer() {
        if (in_ >= 0) {
            const char quit[] = "quit\n";
            (void)!write(in_, quit, sizeof quit - 1);
            close(in_);
        }
        if (pid_ > 0) {
            // A peer stuck in DDS is not worth waiting for.
            for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(10000);
            if (waitpid(pid_, nullptr, WNOHANG) == 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
        if (out_ >= 0) close(out_);
    }
    Ros2Peer(const Ros2Peer&) = delete;
    Ros2Peer& operator=(const Ros2Peer&) = delete;

    bool ready() const { return ready_; }

    // Sends one command and collects its answer up to its closing "ok ..." or
    // "fail ..." line, which is returned; the lines before it go to `lines`.
    std::string run(const std::string& command, std::vector<std::string>* lines = nullptr,
                    std::chrono::seconds timeout = std::chrono::seconds(60)) {
        const std::string text = command + "\n";
        if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "fail peer gone";
        std::string line;
        while (readLine(&line, timeout)) {
            if (line.rfind("ok", 0) == 0 || line.rfind("fail", 0) == 0) return line;
            if (lines) lines->push_back(line);
        }
        return "fail no answer";
    }

    // `count` joint_states samples of namespace `ns` ("-" for none).
    std::vector<PeerState> states(const std::string& ns, int count, int seconds = 30) {
        std::vector<std::string> lines;
        run("states " + ns + " " + std::to_string(count) + " " + std::to_string(seconds), &lines);
        std::vector<PeerState> states;
        for (const std::string& line : lines) {
            std::istringstream in(line);
            std::string word, names, position, velocity, effort;
            PeerState s;
            in >> word >> s.stamp_ns >> s.received_ns >> names >> position >> velocity >> effort;
            if (word != "state") continue;
            s.names = split(names);
            for (const auto& v : split(position)) s.position.push_back(std::strtod(v.c_str(), nullptr));
            for (const auto& v : split(velocity)) s.velocity.push_back(std::strtod(v.c_str(), nullptr));
            for (const auto& v : split(effort)) s.effort.push_back(std::strtod(v.c_str(), nullptr));
            states.push_back(s);
        }
        return states;
    }

    // The first diagnostics of `ns` that mention `text`, as its lines
    // ("diag LEVEL MESSAGE", "hardware ...", "name ...", "kv KEY=VALUE"); empty
    // when none came within `seconds`.
    std::vector<std::string> diagnostics(const std::string& ns, const std::string& text, int seconds = 20) {
        std::vector<std::string> lines;
        if (run("diagnostics " + ns + " " + std::to_string(seconds) + " " + text, &lines) != "ok") lines.clear();
        return lines;
    }

    // The bridge's account of joint_states from two diagnostics of `ns` at
    // least `cycles` control cycles apart, in `first` and `last`; false when
    // the reports did not come.
    bool publicationWindow(const std::string& ns, PublicationCount* first, PublicationCount* last,
                           uint64_t cycles = 200) {
        if (!publicationCount(ns, first)) return false;
        for (int i = 0; i < 50; ++i) {
            if (!publicationCount(ns, last)) return false;
            if (last->cycle >= first->cycle + cycles) return true;
        }
        return false;
    }

    // The value of `key` in diagnostics lines, if there.
    static std::optional<std::string> value(const std::vector<std::string>& report, const std::string& key) {
        const std::string prefix = "kv " + key + "=";
        for (const std::string& line : report) {
            if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
        }
        return std::nullopt;
    }

private:
    bool publicationCount(const std::string& ns, PublicationCount* out) {
        const std::vector<std::string> report = diagnostics(ns, "control cycles=");
        const auto cycle = value(report, "control cycles");
        const auto published = value(report, "joint_states published");
        const auto skipped = value(report, "joint_states skipped");
        const auto failed = value(report, "joint_states write failures");
        if (!cycle || !published || !skipped || !failed) return false;
        *out = {std::stoull(*cycle), std::stoull(*published), std::stoull(*skipped), std::stoull(*failed)};
        return true;
    }

    static std::vector<std::string> split(const std::string& text) {
        std::vector<std::string> parts;
        if (text == "-") return parts;
        std::stringstream in(text);
        std::string part;
        while (std::getline(in, part, ',')) parts.push_back(part);
        return parts;
    }

    bool readLine(std::string* line, std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                *line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{out_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    bool ready_ = false;
    std::string buffer_;
};

}  // namespace qel::test
