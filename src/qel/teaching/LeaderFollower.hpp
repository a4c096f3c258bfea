#pragma once

// Leader and follower (docs/teleoperation.md): an operator moves one arm, the
// leader, floating in gravity compensation, and a second arm, the follower,
// copies it cycle by cycle through the streaming operation (servoJ), while
// the pairs of command and observation can be written as an episode file. A
// thread of its own waits for each leader cycle (woken by the leader's
// control thread, which never waits for it) and hands the leader's measured
// joints and gripper to the follower as the set-point of the follower's next
// cycle. A fault on either arm damps both.

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/interfaces/InterfacesThread.hpp"
#include "qel/recording/EpisodeRecorder.hpp"

namespace qel::m4 {

// The follower never gets a step faster than this on any joint: a leader it
// has fallen behind (it moved faster than a joint may, or the stream was
// refused for a moment) is caught up at this speed, under the motion layer's
// limit of 3 rad/s.
inline constexpr double kTeleopCatchUpSpeed = 2.5;  // rad/s
// With no new leader cycle for this long, the leader's control thread is
// taken for stopped: both arms are damped. Longer than the pause a
// controller takes before it latches a motor fault or an over-current
// (0.1 s), so that such a fault is reported as what it is.
inline constexpr double kTeleopLeaderSilence = 0.5;  // s
// The follower's joint move onto the leader's posture before streaming.
inline constexpr double kTeleopAlignSpeed = 0.5;          // rad/s
inline constexpr double kTeleopAlignAcceleration = 1.0;   // rad/s²

// Thrown when streaming cannot begin: an arm holds a latched fault (which
// only the host may clear), or the follower cannot be moved onto the
// leader's posture (what() gives the motion layer's reason).
class TeleopRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct LeaderFollowerOptions {
    // Where the episode goes (HDF5, replaced if it exists); empty: none.
    std::string episode_path;
    // Written into the episode file.
    int robot_variant = 0;
    std::string leader_interface;
    std::string follower_interface;
    // Called on the streaming thread right after each step was handed to the
    // follower, with what was handed over and observed; may be empty. It
    // holds up the stream while it runs: return at once.
    std::function<void(const recording::EpisodeStep&)> on_step;
};

// Why streaming ended.
enum class TeleopEnd {
    kRunning,        // it has not
    kStopped,        // stop() was called
    kLeaderFault,    // the leader latched a fault; the follower was damped
    kFollowerFault,  // the follower latched a fault; the leader was damped
    kLeaderSilent,   // no leader cycle for kTeleopLeaderSilence; both were damped
};

struct TeleopStatus {
    TeleopEnd end = TeleopEnd::kRunning;
    // Targets handed to the follower, and of those it refused (the first
    // refusal's reason).
    uint64_t steps = 0;
    uint64_t refused = 0;
    std::string first_refusal;
    // Steps whose target was held back to the catch-up speed.
    uint64_t caught_up = 0;
    // Leader cycles that got no step of their own: the streaming thread woke
    // after the next one had been published (a loaded machine).
    uint64_t missed_cycles = 0;
    // The faulted arm's latched code and message (kLeaderFault,
    // kFollowerFault).
    int fault_code = 0;
    std::string fault_message;
    // The streaming thread's CPU time and the time it ran (s).
    double cpu_seconds = 0.0;
    double wall_seconds = 0.0;
    // The episode file's status (empty path: none).
    RecordingStatus episode;
};

class LeaderFollower {
public:
    // `leader` and `follower` run on their own buses, homed. Creates the
    // episode file (if asked), moves the follower onto the leader's posture
    // with a joint move, lets the leader float in gravity compensation with
    // its gripper let go (torque 0), and starts streaming. Throws
    // std::runtime_error naming the file if it cannot be created (nothing
    // moved), and TeleopRefused if either arm holds a latched fault (nothing
    // moved) or the follower cannot get to the leader's posture (it may
    // have moved on the way; the leader has not).
    LeaderFollower(InterfacesThread& leader, InterfacesThread& follower, const LeaderFollowerOptions& options);
    // stop().
    ~LeaderFollower();
    LeaderFollower(const LeaderFollower&) = delete;
    LeaderFollower& operator=(const LeaderFollower&) = delete;

    // Ends streaming (the follower's stream is brought to rest and holds)
    // and completes the episode file; returns the final status. The arms stay
    // as they are: the leader floating, the follower holding, unless a fault
    // damped them. Later calls return the same.
    TeleopStatus stop();
    // How it goes; `end` is no longer kRunning once a fault or a silent
    // leader ended the streaming.
    TeleopStatus status() const;

private:
    void run();
    void end(TeleopEnd why, InterfacesThread* faulted);

    InterfacesThread& leader_;
    InterfacesThread& follower_;
    const LeaderFollowerOptions options_;
    std::unique_ptr<recording::EpisodeRecorder> episode_;
    // The posture the follower was moved to: its set-point when streaming
    // begins.
    std::vector<double> aligned_ = std::vector<double>(7);
    int64_t started_ns_ = 0;

    std::atomic<bool> quit_{false};
    std::atomic<uint64_t> steps_{0};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> caught_up_{0};
    std::atomic<uint64_t> missed_{0};
    mutable std::mutex mutex_;  // guards what follows; never held across a call to an arm
    TeleopStatus ended_;        // end, fault, first refusal and the times
    bool stopped_ = false;
    std::thread thread_;
    pthread_t native_{};
};

}  // namespace qel::m4
