#pragma once

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Geometry>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/recording/RecordingTypes.hpp"
#include "qel/motion/MotionTypes.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"
#include "qel/typedef/JointSample.hpp"

namespace qel::m4 {

using hw_interface::HybridJointStatus;
using RecordingFormat = recording::RecordingFormat;
using RecordingStatus = recording::RecordingStatus;

// The public interface through which a host program drives the arm with the
// library's own types. Constructing one opens the bus, enables the motors,
// homes the arm, calibrates the gripper and starts the 200 Hz control thread;
// destroying it stops the thread, damps the motors and closes the bus.
//
// Control states for setArmStatus: 0 soft, 1 go home, 2 protect (damped),
// 3 gravity compensation, 4 end-effector pose control, 5 joint position
// control; any other value damps the arm. Faults are read with getErrorCode;
// a fault that stops the arm (motor fault, over-current, another controller
// on the bus, a failure on the control thread) is latched: the arm stays
// damped until setArmStatus, and faultLatched / latchedFaultCode /
// latchedFaultMessage tell why.
class InterfacesThread {
public:
    // urdf_path: the arm's robot description file; can_name: the SocketCAN
    // interface (up and configured, e.g. "can0"); type: the robot variant
    // (stored, unused). Blocks for the start-up, at least 3.55 s. Throws the
    // solver's std::runtime_error if the description cannot be used, and one
    // ArmError type per cause (qel/controller/ArmErrors.hpp, all
    // std::runtime_error): BusOpenError if the bus cannot be opened,
    // OtherCommanderError if another controller drives the arm,
    // NoMotorAnswerError if no arm motor answers, OverCurrentError or
    // HomingTimeoutError if homing fails, StartupCancelledError if start-up
    // is cancelled (options.cancel). std::invalid_argument for options no
    // controller can run with (see checkOptions).
    InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type);
    // The same with host options: real-time settings of the library's
    // threads and memory locking (docs/realtime.md), and a handle that
    // cancels start-up (options.cancel).
    // With OnRefusal::kThrow a setting the system refuses is a
    // std::runtime_error; by default it is one warning and the arm runs.
    InterfacesThread(const std::string& urdf_path, const std::string& can_name, int type,
                     const ControllerOptions& options);
    ~InterfacesThread();
    InterfacesThread(const InterfacesThread&) = delete;
    InterfacesThread& operator=(const InterfacesThread&) = delete;

    // Seven records (six joints, the gripper) with raw motor positions.
    std::vector<HybridJointStatus> getJointStatus();
    // Seven positions: joints in rad, the gripper from its calibrated zero.
    std::vector<double> getJointPositons();
    // Seven velocities (rad/s for the joints).
    std::vector<double> getJointVelocities();
    // Seven motor currents in the drivers' units.
    std::vector<double> getJointCurrent();
    // Positions, velocities and currents all from one control cycle, with the
    // cycle's number and its system-clock time: what a host that forwards
    // measurements stamps them with. A new sample every 5 ms.
    JointSample getJointSample();
    // Waits until a cycle after `after_cycle` has published its measurements
    // and returns the newest sample, as getJointSample; after `timeout_s`
    // seconds (infinity: for ever) returns the newest one whatever its cycle.
    // For a host that acts once per control cycle (a follower streaming this
    // arm's joints): the control thread wakes it as it publishes, without a
    // lock and without waiting for it, so the host learns of each cycle
    // within its own wake-up latency. Throws std::invalid_argument for a
    // negative or NaN time-out.
    JointSample waitJointSample(uint64_t after_cycle, double timeout_s);
    // The measured end-effector pose; position relative to the zero pose.
    Eigen::Isometry3d getEndPose();
    // The control state from the next cycle on (see the class comment); also
    // resumes after a latched fault or dampNow, forgetting only the fault the
    // latch was for. A dampNow made before this call is acted on first (code
    // 5, the arm damped for at least one cycle), then the state applies.
    void setArmStatus(int state);
    // Damps the arm from the next control cycle on and keeps it damped (error
    // code 5, latched) until a later setArmStatus. Safe from any thread and
    // from a signal handler; never lost.
    void dampNow();
    // True while a fault or dampNow holds the arm damped.
    bool faultLatched();
    // The error code the latch was set for, 0 when none: 1 over-current,
    // 3 another controller, 4 failure on the control thread, 5 dampNow,
    // 10·n + (c − 5) motor fault.
    int latchedFaultCode();
    // The latched fault's message, empty when none.
    std::string latchedFaultMessage();
    // End-effector pose target for state 4. Throws std::invalid_argument for
    // a non-finite entry; the previous target stays.
    void setEndPose(Eigen::Isometry3d input);
    // Joint targets (rad) for state 5 from entries 0 to 5; a seventh entry is
    // ignored. Throws std::invalid_argument for fewer than six values or a
    // non-finite one; the previous targets stay.
    void setJointPositions(std::vector<double> positions);
    // Gripper position mode with this target (from the calibrated zero).
    // Throws std::invalid_argument for a non-finite value.
    void setCatch(double position);
    // Gripper torque mode with this command. Throws std::invalid_argument for
    // a non-finite value.
    void setCatchTorque(double torque);
    // The gripper motor closes its own position loop (fast) or is
    // current-driven (slow, the default).
    void setCatchActionFast();
    void setCatchActionSlow();
    // Interpolation limits in thousandths: maximum acceleration qel1 / 1000
    // (clamped to 0..0.5) and velocity qel2 / 1000 (clamped to 0..2 rad/s);
    // qel3 is ignored. Throws std::invalid_argument for a non-finite value.
    void qel_x(double qel1, double qel2, double qel3);
    // Payload in kg at the flange, for gravity compensation. Throws
    // std::invalid_argument for a negative or non-finite mass.
    void setEndEffectorMass(double mass);
    // The pending error codes, oldest first, emptying the list: 1 over-current,
    // 2 bus offline, 3 another controller commands the arm, 4 failure on the
    // control thread, 5 dampNow, 10·n + 2 joint n offline, 10·n + (c − 5)
    // motor n reports fault code c (n = 7 is the gripper).
    std::vector<int> getErrorCode();

    // Recording (docs/recording.md). Every control cycle is recorded: its
    // number (the n-th since start-up, from 1) and start time (monotonic and
    // system clock), lateness and work time, state and fault latch, the host
    // targets it acted on, the command each motor was sent (as the motor
    // decodes it, and the frame's bytes), the measurements and the error
    // codes it appended. The control thread never waits for the recording:
    // when the recorder falls more than about five seconds behind, cycles
    // are lost, counted, and missing from the file's cycle numbers.
    //
    // Records every cycle from now on into `path`, replacing a file that
    // exists, until stopRecording. Throws std::invalid_argument, changing
    // nothing, for an empty path or while a recording runs, and
    // std::runtime_error, naming the file, if it cannot be created.
    void startRecording(const std::string& path, RecordingFormat format = RecordingFormat::kHdf5);
    // Writes every cycle run so far, completes the file and returns its
    // status (cycles written and lost, and an error if the file could not be
    // completed); with no recording running, the last one's status.
    // Destroying the interface completes a running recording the same way.
    RecordingStatus stopRecording();
    // The running recording's status (or the last one's). A recording whose
    // file cannot be written stops by itself: active false, error set.
    RecordingStatus recordingStatus();
    // The last two seconds of cycles are always kept in memory; when a fault
    // latches they are written to a new HDF5 file in `folder`
    // (fault-<UTC time>-cycle<number>.h5). Empty switches this off (the
    // default). Throws std::invalid_argument, changing nothing, if `folder`
    // is not an existing, writable folder.
    void setFaultDumpFolder(const std::string& folder);
    // The path of the last fault dump written, empty if none.
    std::string lastFaultDump();
    // ---- Motions (docs/motion.md) ----
    // A motion moves the arm along a path the library plans: set-points go
    // out every cycle (5 ms) with position control's gains and gravity
    // feed-forward, not through the rate limiter of setJointPositions.
    // Speeds and accelerations are SI units per second of wall time. Joint
    // vectors have six entries (rad) and an optional seventh, the gripper's
    // position target from its calibrated zero, which then moves along; with
    // six the gripper stays as last set.
    //
    // Motions start in GO_HOME (1), END_CONTROL (4) and POSITION_CONTROL
    // (5), and run in POSITION_CONTROL: starting one from 1 or 4 switches
    // the state to 5. When a motion ends, position control holds its last
    // set-point (the joint targets become it, unless the host set targets of
    // its own after the motion started). In SOFT, PROTECT or
    // G_COMPENSATION, and while a fault is latched, a motion is refused with
    // the reason. setArmStatus, dampNow, a latched fault or a newer motion
    // command end the running motion; it never resumes by itself.
    //
    // Malformed input (a wrong length, a number that is not finite, a speed,
    // acceleration, deceleration or time that is not above zero, trajectory
    // times that do not increase) throws std::invalid_argument; nothing
    // changes and the running motion goes on. A well-formed motion that
    // cannot be done (beyond the joint limits, out of reach, faster than the
    // joints' speed limit of 3 rad/s) returns false before anything moves,
    // with the reason in motionStatus(). Blocking calls return true once the
    // arm has arrived: every measured joint within 0.02 rad of the goal and
    // slower than 0.05 rad/s (an arm that does not arrive within 3 s of its
    // set-point ends the motion as aborted); false when the motion was
    // stopped, refused or aborted. With `asynchronous` the call returns once
    // the control thread has started the motion (true) or refused it.

    // Joint move to `q`: all joints on one synchronised trapezoidal profile,
    // starting and arriving together; `speed` (rad/s, at most 3) and
    // `acceleration` (rad/s², at most 30) are those of the joint with the
    // longest way. If another motion is running it is first brought to rest
    // along its path (at its own deceleration, at least 5 rad/s², 1 m/s² for
    // a line); position control still on its way to its targets is waited
    // for. Then the move starts from rest.
    bool moveJ(const std::vector<double>& q, double speed, double acceleration, bool asynchronous = false);
    // Straight-line move of the tool from the pose of the current set-point
    // (at rest: the measured pose, up to the arm's tracking error) to `pose`
    // (as getEndPose gives it), the orientation turning about one axis on the
    // shortest rotation; trapezoidal along the path with `speed` (m/s, at
    // most 1) and `acceleration` (m/s², at most 10); one radian of turn counts
    // as 0.1 m of path. Every cycle's pose is solved before the arm moves;
    // a line that leaves the reach or the joint limits, or needs a joint
    // faster than 3 rad/s (near a singularity), is refused, naming where. A
    // running motion is brought to rest first, as for moveJ.
    bool moveL(const Eigen::Isometry3d& pose, double speed, double acceleration, bool asynchronous = false);
    // Time-stamped points (time_from_start from the call, strictly
    // increasing), cubic between points with their velocities, quintic with
    // accelerations too, and a clamped C2 spline (ending at rest) when no
    // velocities are given. From the current set-point and its velocity a
    // cubic leads to the first point after time 0, so a trajectory replaces
    // a running motion without a velocity step. A first point at time 0 is
    // taken as the start and must lie within 0.05 rad of every measured
    // joint; a later first point must be reachable in its time under the
    // speed limit. The last point must be at rest. Points and the curve
    // between them must stay within the joint limits and the speed limit.
    bool followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous = false);
    // Streaming, never blocks: reach `q` `time` seconds after the cycle that
    // takes it (rounded to whole 5 ms cycles, at least one), moving on at the
    // stream's velocity (from the targets' spacing); the target given before
    // a cycle starts shapes that cycle's set-point. With time = 0.005 each
    // target is the next cycle's set-point: for a follower that gets one
    // target per cycle. Call again within `time` + 5 ms to keep the stream
    // going: after that the set-point brakes to rest within 3 mrad (at 10 to
    // 100 rad/s², so further from a stream faster than 0.77 rad/s) and
    // holds, and the stream is done. Refused (false): a
    // target outside the limits, more than 10 s ahead, or moving a joint
    // faster than 3 rad/s.
    bool servoJ(const std::vector<double>& q, double time);
    // Decelerates the running motion along its own path and holds where it
    // comes to rest: `deceleration` in rad/s² of the fastest joint (m/s²
    // along the path for moveL). Without an argument: a move's own
    // acceleration, 5 rad/s² for a trajectory, a stream as when it breaks off.
    // Nothing running: nothing happens. Safe from any thread.
    void stopMotion(double deceleration);
    void stopMotion();
    // The last motion request: idle, moving, done, stopped, refused or
    // aborted, its kind, why (refused, aborted, stopped) and the share of its
    // planned time elapsed.
    MotionStatus motionStatus();
    // Waits up to `timeout_s` (infinity: for ever) for the last motion to
    // end: true if it ended at its goal, false if stopped, refused, aborted
    // or still running at the time-out. Throws std::invalid_argument for a
    // negative or NaN time-out.
    bool waitMotion(double timeout_s);

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::m4
