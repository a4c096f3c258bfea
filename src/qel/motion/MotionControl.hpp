#pragma once

// The host side of the motion layer: the operations ControllerThread offers
// (moveJ, moveL, followJointTrajectory, servoJ, stopMotion, motionStatus,
// waitMotion; their contract is documented in ControllerThread.hpp). Plans
// are made on the calling thread, handed to the control thread's
// MotionExecutor, and freed here once the control thread no longer uses
// them. Any host thread may call; calls are serialised where they must be.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Geometry>

#include "qel/motion/MotionExecutor.hpp"
#include "qel/motion/MotionPlanner.hpp"
#include "qel/motion/MotionTypes.hpp"

namespace qel::m4::motion {

// What the host side reads of the controller besides the executor's reports.
struct ControllerView {
    std::function<int()> state;  // the control state as the host last set it
    // The latched fault's code (0: none) and message.
    std::function<int()> latched_code;
    std::function<std::string()> latched_message;
};

class MotionControl {
public:
    // `planner` is built by the caller, so that its robot description is
    // parsed before the controller starts.
    MotionControl(std::unique_ptr<MotionPlanner> planner, MotionExecutor& executor, ControllerView view);

    bool moveJ(const std::vector<double>& q, double speed, double acceleration, bool asynchronous);
    bool moveL(const Eigen::Isometry3d& pose, double speed, double acceleration, bool asynchronous);
    bool followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous);
    bool servoJ(const std::vector<double>& q, double time);
    // deceleration > 0, or 0 for each motion's default.
    void stopMotion(double deceleration);
    MotionStatus motionStatus();
    bool waitMotion(double timeout_s);
    // Before the host stores a new control state.
    void noteStateChange(int state);

    // The words for an executor's cause (for the status).
    static std::string describe(Cause cause, int value);

private:
    using Clock = std::chrono::steady_clock;
    struct Ended {
        Outcome outcome;
        std::string reason;  // set for refusals made here
    };
    using Planner = std::function<PlanResult(const StartState&)>;

    // The common path of the three planned motions.
    bool runPlanned(MotionKind kind, const Planner& plan, bool asynchronous);
    // Why no motion may start now (a latched fault, a passive state); empty
    // if one may.
    std::string startBlocker(const char* what);
    // Records a refusal as the newest motion; returns false. The second
    // form for callers that hold mutex_.
    bool refuse(MotionKind kind, const std::string& reason);
    bool refuseLocked(MotionKind kind, const std::string& reason);
    // Posts a command under a fresh sequence number; returns it.
    uint64_t post(Command command, MotionKind kind, std::unique_ptr<MotionPlan> plan);
    // Takes the newest report and outcomes and frees the plans the control
    // thread is done with. Caller holds mutex_.
    void refresh();
    // The set-point a new motion would start from (waits for the first
    // report after construction).
    bool startState(StartState* out);
    // Waits until `done` holds (checked under mutex_ after a refresh), the
    // deadline passes, or the control thread stops cycling; false unless
    // `done` held.
    bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline);
    // How motion `sequence` ended, if it has (true with *out set).
    bool endedAs(uint64_t sequence, Ended* out);
    // Brings a running motion to rest (as replaced) before a new move.
    bool settleRunning(const char* what);

    std::unique_ptr<MotionPlanner> planner_;
    MotionExecutor& executor_;
    ControllerView view_;

    // Serialises the planned motions (their planning may take a while;
    // servoJ and the status do not wait for it).
    std::mutex plan_mutex_;
    // Guards everything below; never held while waiting or planning.
    std::mutex mutex_;
    Report report_{};
    bool have_report_ = false;
    Clock::time_point report_time_{};
    std::map<uint64_t, Ended> ended_;
    std::vector<std::pair<uint64_t, std::unique_ptr<MotionPlan>>> plans_;
    uint64_t last_issued_ = 0;
    MotionKind last_kind_ = MotionKind::kNone;
    // The servo stream as the host sees it.
    bool streaming_ = false;
    Clock::time_point stream_last_{};
    double stream_interval_ = 0.0;  // s, smoothed
    Joints stream_target_{};
};

}  // namespace qel::m4::motion
