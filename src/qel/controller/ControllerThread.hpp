#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "qel/controller/ControllerBase.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/motion/MotionExecutor.hpp"
#include "qel/motion/MotionTypes.hpp"
#include "qel/realtime/CycleSignal.hpp"
#include "qel/realtime/PiMutex.hpp"
#include "qel/realtime/SampleRing.hpp"
#include "qel/realtime/Snapshot.hpp"
#include "qel/typedef/JointSample.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/recording/RecordingTypes.hpp"

namespace qel::recording {
class CycleRecorder;
}

namespace qel::m4::motion {
class MotionControl;
class MotionPlanner;
}  // namespace qel::m4::motion

namespace qel::m4 {

using RecordingFormat = recording::RecordingFormat;
using RecordingStatus = recording::RecordingStatus;

// A running controller: the core plus a control thread that calls Update 200
// times a second, and thread-safe getters and setters for host threads.
//
// Data crosses between host and control thread through exchange copies under
// one priority-inheriting mutex, held for a copy: the cycle publishes its
// measurements and picks up the host's latest commands once per cycle, right
// after Update. A command therefore acts in the cycle after it arrives; a
// measurement is at most one cycle old.
//
// A fault raised on the control thread (motor fault, over-current, another
// commander on the bus, a solver failure) does not end the process: the
// controller latches it, records its code, damps the arm every cycle and
// writes the fault's message once to standard error. While latched it still
// watches the bus and the motors and records their codes every cycle. A
// damping request from the host (dampNow) latches the same way.
// setArmStatus resumes.
class ControllerThread : public ControllerBase {
public:
    // Builds and homes the controller (see ControllerBase; throws what it
    // throws), then starts the control thread in the GO_HOME state.
    ControllerThread(const std::string& urdf_path, const std::string& can_name, int type);
    // The same with host options: real-time settings for the control, receive
    // and pose-search threads and memory locking, and start-up cancellation (see ControllerOptions and
    // docs/realtime.md). A setting the system refuses is one warning each, or
    // with OnRefusal::kThrow a std::runtime_error (after the arm is damped).
    ControllerThread(const std::string& urdf_path, const std::string& can_name, int type,
                     const ControllerOptions& options);
    // Stops the control thread (within about a second), then damps the arm
    // and closes the bus.
    ~ControllerThread();

    // Motions (the contract is InterfacesThread's, where a host reads it; see
    // also docs/motion.md). A motion runs in POSITION_CONTROL: starting one
    // from GO_HOME or END_CONTROL switches the state, and when it ends
    // position control holds its last set-point. Malformed input throws
    // std::invalid_argument and changes nothing; a motion that cannot be
    // done returns false with the reason in motionStatus().
    bool moveJ(const std::vector<double>& q, double speed, double acceleration, bool asynchronous = false);
    bool moveL(const Eigen::Isometry3d& pose, double speed, double acceleration, bool asynchronous = false);
    bool followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous = false);
    bool servoJ(const std::vector<double>& q, double time);
    void stopMotion(double deceleration);
    void stopMotion();
    MotionStatus motionStatus();
    bool waitMotion(double timeout_s);

    // The seven motors' latest measurements, raw motor positions.
    std::vector<HybridJointStatus> getJointStatus();
    // Seven positions: arm joints in rad, the gripper from its calibrated zero.
    std::vector<double> getJointPositons();
    // Seven velocities (rad/s; the gripper in its own unit).
    std::vector<double> getJointVelocities();
    // Seven motor currents in the drivers' units.
    std::vector<double> getJointCurrent();
    // The measured end-effector pose, position relative to the zero pose.
    Eigen::Isometry3d getEndPose();
    // Positions, velocities and currents of one cycle, with its number and
    // system-clock time (see JointSample).
    JointSample getJointSample();
    // The newest sample once a cycle after `after_cycle` has published it,
    // or at the time-out (see InterfacesThread). The control thread wakes
    // the waiter through a CycleSignal and never waits for it.
    JointSample waitJointSample(uint64_t after_cycle, double timeout_s);

    // Selects the control state (SOFT 0 ... POSITION_CONTROL 5) from the next
    // cycle on; any other value damps the arm. Also resumes after a latched
    // fault: the next cycle forgets the fault the latch was for, and only
    // that one (the codes stay in the list until read); a motor that still
    // reports it, or a fault recorded while latched, latches again. A
    // dampNow made before this call is acted on first: the arm is damped and
    // code 5 recorded for at least one cycle, then it resumes.
    void setArmStatus(int state);
    // The end-effector pose target for END_CONTROL. Throws
    // std::invalid_argument, changing nothing, if any entry is not finite.
    void setEndPose(Eigen::Isometry3d pose);
    // Joint targets (rad) for POSITION_CONTROL from entries 0 to 5; further
    // entries are ignored. Throws std::invalid_argument, changing nothing, for
    // fewer than six values or a non-finite one among the six.
    void setJointPositions(std::vector<double> positions);
    // Gripper position mode, target measured from the calibrated zero. Throws
    // std::invalid_argument, changing nothing, for a non-finite value.
    void setCatch(double position);
    // Gripper torque mode with this command (clamped to ±2 by the cycle).
    // Throws std::invalid_argument, changing nothing, for a non-finite value.
    void setCatchTorque(double torque);

    // From any thread, signal handlers included (async-signal-safe): the
    // control thread damps the arm from its next cycle on and keeps it damped,
    // as for a latched fault (code 5), until the host calls setArmStatus
    // after this call. Never lost: only the control thread consumes it.
    void dampNow() { damp_requests_.fetch_add(1); }
    // True while a fault (or a damping request) holds the arm damped and the
    // host has not resumed.
    bool faultLatched() const { return fault_latched_ && resume_request_.load() == 0; }
    // The code the latch was set for (see getErrorCode), 0 when none.
    int latchedFaultCode() const { return faultLatched() ? latched_code_.load() : 0; }
    // The latched fault's message, empty when none.
    std::string latchedFaultMessage() const;
    // Control cycles run so far.
    uint64_t cycleCount() const { return cycle_count_; }

    // One control cycle as the control thread saw it (monotonic clock, ns).
    struct CycleRecord {
        int64_t start_ns;  // when the cycle began
        int64_t work_ns;   // from its start to the end of its work
        int64_t late_ns;   // how long after its due time it began
    };
    // For one observing thread: moves up to `capacity` cycle records not yet
    // taken into `out`, oldest first, and returns how many. The last 2048
    // cycles (about 10 s) are kept; later ones are dropped until taken.
    std::size_t takeCycleRecords(CycleRecord* out, std::size_t capacity) {
        return cycle_records_.take(out, capacity);
    }
    // Cycles whose work ran past their 5 ms deadline.
    uint64_t missedDeadlines() const { return missed_deadlines_; }
    // The pending error codes (see ControllerBase::getErrorCode), emptying the
    // list. A motor fault not raised yet stays pending: reading the codes
    // never keeps the control thread from latching it.
    std::vector<int> getErrorCode();

    // Recording (see InterfacesThread, which carries the full contract, and
    // docs/recording.md). The control thread hands every cycle to a recorder
    // thread of ordinary priority through a bounded queue and never waits
    // for it.
    void startRecording(const std::string& path, RecordingFormat format = RecordingFormat::kHdf5);
    RecordingStatus stopRecording();
    RecordingStatus recordingStatus() const;
    void setFaultDumpFolder(const std::string& folder);
    std::string lastFaultDump() const;
    uint64_t recorderDroppedCycles() const;

private:
    // Builds the motion planner (which parses the robot description) before
    // start-up, for the same reason as the pose search.
    ControllerThread(const std::string& urdf_path, const std::string& can_name, int type,
                     const ControllerOptions& options, std::unique_ptr<motion::MotionPlanner> planner);
    // The pose search thread, built before start-up (see ControllerBase).
    static std::unique_ptr<control::EndPoseSearchThread> startSearch(const std::string& urdf_path,
                                                                     const ControllerOptions& options);
    void startThread();
    static void* ArmThreadWrapper(void* arg);
    void ArmThread();
    // One cycle's work: Update, or UpdateDamped while a fault is latched.
    // Never throws.
    void runCycle();
    // On the control thread, before the cycle's work: a resume the host
    // asked for, then the damping requests not acted on yet.
    void resumeIfAsked();
    void actOnDampRequests();
    // Latches `fault` with `message` unless a latch is already set.
    void latch(const RaisedFault& fault, const char* message);
    void handleFailure(const char* message);
    void exchangeData();
    void StopThread();
    // Fills cycle_sample_ with what the cycle that just ran acted on, sent
    // and measured (all but its work time). Control thread; allocates nothing.
    void captureCycle(uint64_t cycle, int64_t start_ns, int64_t system_ns, int64_t late_ns);
    // The motion layer's part of a cycle: before the handler (what the
    // running motion sends) and after it (what was sent, the report).
    motion::CycleInput motionInput();
    void beginMotionCycle();
    void endMotionCycle();

    Eigen::Isometry3d ee_command_safe_ = Eigen::Isometry3d::Identity();
    std::vector<HybridJointStatus> joint_target_safe_ = std::vector<HybridJointStatus>(control::kMotors);
    double catch_torque_safe_ = 0.0;
    std::vector<HybridJointStatus> joint_status_safe_ = std::vector<HybridJointStatus>(control::kMotors);
    Eigen::Isometry3d ee_state_safe_ = Eigen::Isometry3d::Identity();
    Eigen::Isometry3d ee_command_exchange_ = Eigen::Isometry3d::Identity();
    std::vector<HybridJointStatus> joint_target_exchange_ = std::vector<HybridJointStatus>(control::kMotors);
    double catch_torque_exchange_ = 0.0;
    std::vector<HybridJointStatus> joint_status_exchange_ = std::vector<HybridJointStatus>(control::kMotors);
    // The cycle that published joint_status_exchange_, and when.
    uint64_t measured_cycle_exchange_ = 0;
    int64_t measured_time_ns_exchange_ = 0;
    Eigen::Isometry3d ee_state_exchange_ = Eigen::Isometry3d::Identity();
    pthread_t thread_id{};
    bool thread_started_ = false;
    std::atomic<bool> atomic_thread_stop_flag_{false};
    std::atomic<bool> atomic_thread_finish_flag_{false};
    std::atomic<bool> fault_latched_{false};
    // dampNow calls so far; the control thread notes how many it has acted on.
    std::atomic<uint32_t> damp_requests_{0};
    uint32_t damp_requests_acted_ = 0;  // control thread only
    // 0, or kResumeAsked with the count of dampNow calls the resume follows.
    std::atomic<uint64_t> resume_request_{0};
    static constexpr uint64_t kResumeAsked = uint64_t{1} << 32;
    std::atomic<int> latched_code_{0};
    RaisedFault latched_fault_;  // control thread only
    struct LatchMessage {
        char text[256];
    };
    realtime::Snapshot<LatchMessage> latch_message_;
    std::atomic<uint64_t> cycle_count_{0};
    // Counts each cycle's publication of its measurements and wakes the host
    // threads in waitJointSample.
    realtime::CycleSignal published_;
    realtime::PiMutex mutex_exchange_data_;
    // Guards the host-side staging copies, so that host threads may call the
    // getters and setters concurrently; never held together with the
    // exchange mutex.
    std::mutex mutex_host_side_;

    std::atomic<uint64_t> missed_deadlines_{0};
    realtime::SampleRing<CycleRecord, 2048> cycle_records_;

    // Outlives the control thread, which the destructor joins first.
    std::unique_ptr<recording::CycleRecorder> recorder_;
    recording::CycleSample cycle_sample_;  // control thread only
    // The motion layer: the control thread's executor, the host side.
    motion::MotionExecutor motion_executor_;
    std::unique_ptr<motion::MotionControl> motion_;
    control::PathSetPoint path_command_{};
    // How often the host has set joint targets and gripper targets; counted
    // under the exchange mutex, so that a motion's end keeps what the host
    // set after the motion started.
    std::atomic<uint64_t> arm_target_writes_{0};
    std::atomic<uint64_t> gripper_target_writes_{0};
    // The end of a motion, to reach the exchange copies (control thread).
    motion::Hold hold_{};
    bool hold_arm_pending_ = false;
    bool hold_gripper_pending_ = false;
};

}  // namespace qel::m4
