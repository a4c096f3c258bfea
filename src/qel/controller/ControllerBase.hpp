#pragma once

#ifdef QEL_STANDALONE_SOLVER
// The controller holds the main library's solver; with the standalone
// solver's definitions its layout would not match the library's.
#error "the controller headers cannot be used with the standalone solver library's definitions; use InterfacesThread or InterfacesPy"
#endif

#include <array>
#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <kdl/jntarray.hpp>

#include "qel/can_motor_dlc/MotorDlcBase.hpp"
#include "qel/canbase/SocketCan.hpp"
#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControlLaw.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/controller/EndPoseSearch.hpp"
#include "qel/controller/ErrorCodeList.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::m4 {

// The arm controller's real-time core: owns the bus adapter, the seven motor
// drivers (six arm joints, index 0 to 5, and the gripper, index 6) and the
// kinematic solver, and runs one control cycle per call of Update.
//
// Construction opens the bus, enables the motors, homes the arm and calibrates
// the gripper against its end stop (several seconds). Afterwards Update and the
// other cycle operations belong to one control thread; the operations marked
// host-side may be called from any thread at the same time.
//
// Units: arm positions in rad, velocities in rad/s, torques and currents in
// the units the motor drivers use; the gripper in its motor's position unit.
class ControllerBase {
public:
    using CanFrame = hw_interface::CanFrame;
    using HybridJointStatus = hw_interface::HybridJointStatus;

    // Control states; the host may store any integer, and values outside this
    // range run the protect handler.
    enum state : int {
        SOFT = 0,
        GO_HOME = 1,
        PROTECT = 2,
        G_COMPENSATION = 3,
        END_CONTROL = 4,
        POSITION_CONTROL = 5,
    };
    // How the gripper is driven in the active states.
    enum CatchControlMode : int {
        kPosition = 0,  // towards joint_target_[6].position
        kTorque = 1,    // with catch_torque_target_ as its current
    };

    // Builds the solver from the robot description at `urdf_path` (chain
    // "base_link" to "link6"), creates the drivers and runs Init on the CAN
    // interface `can_name`. `type` is the robot variant; it is stored and
    // changes nothing. Throws (the arm damped wherever this controller had
    // already commanded it) the solver's std::runtime_error for an unusable
    // description, or one of the ArmError types of ArmErrors.hpp:
    // BusOpenError, OtherCommanderError, NoMotorAnswerError,
    // OverCurrentError (while homing), HomingTimeoutError (30 s),
    // StartupCancelledError (options.cancel).
    // An arm on which only some motors answer starts as usual; the silent ones
    // show as offline codes 10·n + 2 and keep the arm damped.
    ControllerBase(const std::string& urdf_path, const std::string& can_name, int type);
    // The same with host options: before anything starts, memory is locked
    // if asked, and the receive thread gets options.realtime.receive. A
    // refused setting is a warning or, with OnRefusal::kThrow, a
    // std::runtime_error from here. options.cancel can abandon start-up.
    ControllerBase(const std::string& urdf_path, const std::string& can_name, int type,
                   const ControllerOptions& options);
    // Releases the adapter callbacks, damps every motor (the gripper goes
    // limp), then destroys the drivers before the adapter.
    ~ControllerBase();
    ControllerBase(const ControllerBase&) = delete;
    ControllerBase& operator=(const ControllerBase&) = delete;

    // Start-up, run once by the constructor: opens the bus, enables the
    // motors, damps for 100 passes, homes for at least 3.55 s while driving the
    // gripper to its end stop, and records that position as the gripper zero.
    void Init();
    // One control cycle: bus and fault checks, the current state's handler,
    // then loadJointStatus. Throws MotorFaultError for a pending motor fault
    // (after damping the arm and pausing 100 ms), OverCurrentError for
    // sustained over-current and OtherCommanderError for another commander.
    void Update();
    // The cycle while a fault holds the arm damped: the same bus check,
    // offline report and measurement refresh as Update (so codes are
    // recorded every cycle as usual), with damping in place of the state's
    // handler and nothing raised.
    void UpdateDamped();
    // Takes the newest motor feedback, records offline motors and motor faults
    // as error codes, and computes gravity torques and the measured pose.
    void loadJointStatus();

    // The latest measurement of the seven motors (raw motor positions).
    std::vector<HybridJointStatus> getJointStatus();
    // The measured end-effector pose (position relative to the zero pose).
    Eigen::Isometry3d getEndPose();

    // Adapter callbacks: the drivers' receive-to-control swap, and the
    // dispatch of one received frame to all seven drivers. The dispatch also
    // notes which motors have answered and counts command frames for the
    // arm's motors, which this controller only receives when another sender
    // is commanding them (a socket does not receive its own frames).
    void ExchangeMotorMsg();
    void CanCallback(CanFrame* frame);

    // Host-side. Interpolation limits for position and pose control:
    // `max_acc` clamped to [0, 0.5], `max_vel` to [0, 2] (rad/s). Throws
    // std::invalid_argument for a non-finite value, keeping both settings.
    void setInterpolationParam(double max_acc, double max_vel);
    // Host-side. Fast action: the gripper motor closes its own position loop
    // on the host target; slow action (the default): current-driven.
    void setCatchActionFast();
    void setCatchActionSlow();
    // Host-side. Payload in kg at the flange, for gravity compensation. Throws
    // std::invalid_argument for a negative or non-finite mass.
    void setEndEffectorMass(double mass);
    // Stops the adapter from calling into this controller; the control thread
    // calls it when it stops.
    void destoryFunc();

    // Host-side. The pending error codes in the order they arose, emptying the
    // list: 1 over-current, 2 bus offline, 10·n + 2 arm motor n offline,
    // 10·n + (c − 5) motor n (7 = gripper) reports driver code c. For a
    // caller that runs the cycle itself, reading the codes also acknowledges
    // the motor faults not raised yet (ControllerThread keeps them pending).
    std::vector<int> getErrorCode();
    // Sends the gripper's enable frame.
    void setClampPos();
    // Sends the enable frame to all seven motors, 200 µs apart.
    void setEnableMotor();
    // The over-current watch: advances the per-joint counters and returns
    // false once an arm joint has been above 13.0 current units for 200
    // consecutive checks.
    bool ifTorqeLimit();
    // Throw OverCurrentError with the over-current message, and
    // MotorFaultError with the motor-fault message naming motor
    // `joint_index` (1 to 7) and its code.
    [[noreturn]] void errorCurrentOutLimit();
    [[noreturn]] void errorMotorFault(int joint_index, int error_code);
    // Prints the numbers of the offline arm motors on standard output.
    void errorCurrentDeviceOffline();

protected:
    // As the options constructor; `search`, when given, takes end-effector
    // control's search out of the cycle (see end_pose_search_). Built by the
    // caller before start-up, so that nothing lengthens the gap between the
    // end of homing and the first control cycle, which the motors would see
    // as silence.
    ControllerBase(const std::string& urdf_path, const std::string& can_name, int type,
                   const ControllerOptions& options,
                   std::unique_ptr<control::EndPoseSearchThread> search);

    // Inverse kinematics for the pose x, y, z (m), roll, pitch, yaw (rad) at
    // `_endstate`, from the six angles at `_current_pos`. On success the
    // solution is in solve_position_ and the result is true; on any solver
    // error it is false and solve_position_ keeps its previous content.
    bool computeInverseKinematics(double* _current_pos, double* _endstate);

    bool go_home_flag_ = false;
    std::atomic<int> state_machine_{PROTECT};
    std::vector<double> zero_point_position_ = std::vector<double>(control::kMotors, 0.0);
    std::vector<double> current_limit_ = std::vector<double>(control::kMotors, 13.0);
    std::vector<double> lower_bound_xyzrpy_{0.0,  // negative x would reach behind the base
                                            -0.53,
                                            -0.53,
                                            -1.7453292519943295,
                                            -1.4835298641951802,
                                            -1.4835298641951802};
    std::vector<double> upper_bound_xyzrpy_{0.53, 0.53, 0.53,
                                            1.7453292519943295, 1.4835298641951802,
                                            1.4835298641951802};
    std::array<double, control::kMotors> temp_position{};
    std::vector<HybridJointStatus> joint_target_ = std::vector<HybridJointStatus>(control::kMotors);
    Eigen::Isometry3d ee_command_ = Eigen::Isometry3d::Identity();
    double catch_torque_target_ = 0.0;
    std::atomic<CatchControlMode> catch_control_mode_{kPosition};
    std::atomic<bool> catch_action_fast_{false};
    std::atomic<double> max_acc_{0.5};
    std::atomic<double> max_vel_{2.0};
    std::vector<HybridJointStatus> joint_status_ = std::vector<HybridJointStatus>(control::kMotors);
    bool online_ = true;
    Eigen::Isometry3d ee_state_ = Eigen::Isometry3d::Identity();
    std::string can_name_;
    int type_;
    std::array<int, control::kMotors> current_out_count_{};
    int max_current_out_ = 200;
    ErrorCodeList error_code_;
    KinematicDynamicSolver solver_;
    std::array<double, control::kMotors> lower_Joint;
    std::array<double, control::kMotors> upper_Joint;
    std::unique_ptr<hw_interface::SocketCan> qel_can_;
    std::vector<std::shared_ptr<hw_interface::MotorDlcBase>> joint_ptr_;
    std::vector<int> offline_motors_;
    std::vector<double> gravity_compensation_torqe_ = std::vector<double>(control::kArmJoints, 0.0);
    // The last pose solution, sized here so that the first one does not
    // allocate on the control thread; has_solution_ once there is one.
    KDL::JntArray solve_position_{control::kArmJoints};
    bool has_solution_ = false;
    double frequency_ = 200.0;

    // The damping handler; ControllerThread also runs it while a fault is
    // latched.
    void stateProtect();

    // For the cycle recorder (control thread only): the command frame each
    // motor was last sent, noted where frames are sent, and the control state
    // Update dispatched on. ControllerThread resets both before each cycle.
    recording::SentCommands sent_commands_;
    int cycle_state_ = PROTECT;
    // When set for a cycle, position control sends this set-point instead of
    // interpolating towards the joint targets (see statePathControl), and
    // path_sent_ tells afterwards whether it went out.
    const control::PathSetPoint* path_set_point_ = nullptr;
    bool path_sent_ = false;

    // The options the controller was built with.
    ControllerOptions options_;
    // When set, end-effector control hands its search to this thread and
    // takes the answers as they come (ControllerThread gives it one). When empty
    // the search runs inside the cycle, as many solves as it takes (up to
    // eleven, tens of milliseconds for an unreachable command, and the
    // solver allocates as it iterates): for callers that drive Update
    // themselves and want each cycle's answer in that cycle.
    control::EndPoseSearchThread* end_pose_search_ = nullptr;
    std::unique_ptr<control::EndPoseSearchThread> owned_search_;

    // A fault this controller raised: its error code and, for a motor
    // fault, the motor number and driver code (0 otherwise).
    struct RaisedFault {
        int code = 0;
        int joint = 0;
        int driver_code = 0;
    };
    // The fault being raised (code 0 for a failure that recorded no code),
    // cleared by reading it.
    RaisedFault takeRaisedFault();
    // Forgets the fault a host resumed after (a pending motor fault, or
    // another commander heard earlier), and only that one: it comes back if
    // it persists, and any other fault recorded meanwhile is still raised.
    void consumeFault(const RaisedFault& fault);

private:
    void stateSoft();
    void stateGoHome();
    void stateGravityCompensation();
    void stateEndControl();
    void statePositionControl();
    // Position control along a path: the path's set-point goes out as it is,
    // with position control's gains, gravity torques and the proximal
    // feed-forward towards the set-point itself; the interpolation then
    // continues from it.
    void statePathControl(const control::PathSetPoint& set_point);

    void CatchPositionCtrl();
    void CatchSoft();
    std::stringstream getLog();

    // Packs one frame for motor `index` and sends it, pausing 200 µs after it
    // unless `pause` is false.
    void sendCommand(std::size_t index, double k_p, double k_d, double position, double velocity,
                     double torque, bool pause = true);
    void sendCommand(std::size_t index, const hw_interface::HybridJointCmd& command);
    // True when the socket took the whole frame.
    bool sendFrame(CanFrame frame, bool pause = true);
    // The over-current guard of the active handlers: on a trip, code 1,
    // damping, a 100 ms pause and the over-current error.
    void guardOverCurrent();
    // The passive states start any later active one from the actual posture.
    void reseedFromMeasurement();
    // Interpolates the arm towards `target` (six clamped joint angles, rad)
    // and sends it with `gains`, gravity torques and the proximal
    // feed-forward.
    void trackTargets(const control::ArmGains& gains, double* target);
    // Sends temp_position with `velocity`, `gains`, gravity torques and the
    // proximal joints' feed-forward towards `feed_target`.
    void sendTracking(const control::ArmGains& gains, const double* velocity, const double* feed_target);
    // Whether arm joint `index` is at its home position and nearly still, as
    // last measured.
    bool jointAtHome(std::size_t index) const;

    // The end-effector target of this cycle into solve_position_, by the
    // search thread or inside the cycle. False when there is no target to
    // track yet (nothing solved so far, or the first answer of a new pose
    // control session is still being searched).
    bool updateEndPoseTarget(const control::EndPoseRequest& request);
    void storeSolution(const double* joints);

    // Counts the command frames of another sender per window of cycles and
    // records it (code 3) once a window holds enough of them.
    void noteForeignCommands();
    // Throws, after damping the arm, for another commander heard or a
    // cancelled start-up.
    void throwIfStartupInterrupted();
    // Damps the arm for a failure about to be raised.
    void dampForFailure();
    // Records code 2 while the adapter reports the bus offline.
    void watchBus();
    [[noreturn]] void errorOtherCommander();

    // Set once Init has sent the first frame: until then a failing start-up
    // must not touch a bus that another controller may be driving.
    bool commanded_ = false;
    // Set once a failing start-up has damped the arm, so that unwinding
    // does not damp it a second time.
    bool failure_damped_ = false;
    RaisedFault raised_;
    // Written by CanCallback on the receive thread, read and cleared by
    // ExchangeMotorMsg: both under the adapter's data lock.
    uint32_t answered_rx_ = 0;       // bit n: motor id n answered
    uint32_t foreign_ids_rx_ = 0;    // bit n: a command frame for motor id n arrived
    uint32_t foreign_frames_rx_ = 0;
    // Control side of the same.
    uint32_t answered_ = 0;
    uint32_t foreign_ids_ = 0;
    uint32_t foreign_frames_ = 0;
    uint32_t window_foreign_ids_ = 0;
    uint32_t window_foreign_frames_ = 0;
    int window_cycles_ = 0;
    bool other_commander_pending_ = false;
    uint32_t other_commander_ids_ = 0;

    // Scratch arrays of the cycle, sized once so that the cycle reuses them.
    KDL::JntArray measured_q_;
    KDL::JntArray gravity_scratch_;
    control::EndPoseSolver end_pose_solver_{solver_};
    // Measurement refreshes so far; tells stateEndControl whether the previous
    // cycle was pose control too.
    uint64_t refresh_count_ = 0;
    uint64_t end_control_refresh_ = 0;
    // First request id of the current pose-control session; answers to
    // earlier requests belong to an older posture and are dropped.
    uint64_t session_first_request_ = 0;
    bool session_answered_ = false;
};

}  // namespace qel::m4
