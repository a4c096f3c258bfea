#pragma once

#include <memory>
#include <string>
#include <vector>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/recording/RecordingTypes.hpp"
#include "qel/motion/MotionTypes.hpp"
#include "qel/typedef/HybridJointTypeDef.hpp"

namespace qel::m4 {

// The arm's public interface in plain numbers, for scripting hosts: the same
// controller as InterfacesThread, with vectors of doubles and snake_case
// names. Poses are seven numbers x, y, z (m), w, x, y, z (unit quaternion) or
// six x, y, z, roll, pitch, yaw (rad).
//
// Setters return true when the command was accepted and false, changing
// nothing, for input that is too short or not finite.
class InterfacesPy {
public:
    // As InterfacesThread: builds, homes and starts the controller (at least
    // 3.55 s). Throws the ArmError types (std::runtime_error) as
    // InterfacesThread does.
    InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type);
    // The same with host options: real-time settings of the library's
    // threads and memory locking (docs/realtime.md), and a handle that
    // cancels start-up (options.cancel).
    // With OnRefusal::kThrow a setting the system refuses is a
    // std::runtime_error; by default it is one warning and the arm runs.
    InterfacesPy(const std::string& urdf_path, const std::string& can_name, int type,
                 const ControllerOptions& options);
    ~InterfacesPy();
    InterfacesPy(const InterfacesPy&) = delete;
    InterfacesPy& operator=(const InterfacesPy&) = delete;

    // Seven positions: joints in rad, the gripper from its calibrated zero.
    std::vector<double> get_joint_positions();
    // Seven velocities.
    std::vector<double> get_joint_velocities();
    // Seven motor currents.
    std::vector<double> get_joint_currents();
    // Measured pose as x, y, z, qw, qx, qy, qz.
    std::vector<double> get_ee_pose();
    // Measured pose as x, y, z, roll, pitch, yaw.
    std::vector<double> get_ee_pose_xyzrpy();
    // As InterfacesThread::setArmStatus. Returns true.
    bool set_arm_status(int state);
    // As InterfacesThread::dampNow.
    void damp_now();
    // Whether a fault (or damp_now) holds the arm damped, the code it was
    // latched for (0 when none) and its message (empty when none).
    bool fault_latched();
    int latched_fault_code();
    std::string latched_fault_message();
    // The pending error codes, oldest first, emptying the list (codes as
    // InterfacesThread::getErrorCode).
    std::vector<int> get_error_code();
    // Pose target x, y, z, qw, qx, qy, qz for end-effector control; the
    // quaternion is normalised (any finite length works, however large).
    // False for fewer than seven values, a non-finite one or a zero
    // quaternion.
    bool set_ee_pose(std::vector<double> pose);
    // Joint targets (rad) from entries 0 to 5. False for fewer than six values
    // or a non-finite one.
    bool set_joint_positions(std::vector<double> positions);
    // Gripper position mode with this target. False for a non-finite value.
    bool set_catch(double position);
    // Interpolation limits in thousandths, as InterfacesThread::qel_x. Throws
    // std::invalid_argument for a non-finite value.
    void qel_x(double qel1, double qel2, double qel3);

    // The operations of InterfacesThread that a plain-number host also needs.
    // Seven records (six joints, the gripper) with raw motor positions.
    std::vector<hw_interface::HybridJointStatus> get_joint_status();
    // The measured pose as a 4x4 homogeneous transform, row by row (16
    // values; translation in m in the last column, relative to the zero pose).
    std::vector<double> get_ee_pose_matrix();
    // Gripper torque mode with this current (limited to ±2 by the cycle).
    // False, changing nothing, for a non-finite value.
    bool set_catch_torque(double torque);
    // Fast action: the gripper motor closes its own position loop; slow (the
    // default): current-driven.
    void set_catch_action_fast();
    void set_catch_action_slow();
    // Payload in kg at the flange. False, changing nothing, for a negative or
    // non-finite mass.
    bool set_end_effector_mass(double mass);

    // Recording, as InterfacesThread::startRecording and the rest of its
    // recording operations; `format` is "hdf5" or "csv". These throw
    // std::invalid_argument (an empty path, another format, a recording
    // already running, a dump folder that is not a writable folder) and
    // std::runtime_error (the file cannot be created) rather than return
    // false, so that the host learns which.
    void start_recording(const std::string& path, const std::string& format = "hdf5");
    recording::RecordingStatus stop_recording();
    recording::RecordingStatus recording_status();
    void set_fault_dump_folder(const std::string& folder);
    std::string last_fault_dump();
    // Motions, as InterfacesThread's moveJ, moveL, followJointTrajectory,
    // servoJ, stopMotion, motionStatus and waitMotion (the contract is
    // there). Malformed input throws std::invalid_argument here too, rather
    // than returning false: false means a well-formed motion was refused or
    // did not end at its goal. move_l takes the pose as seven numbers x, y,
    // z, qw, qx, qy, qz (normalised as set_ee_pose does).
    bool move_j(const std::vector<double>& q, double speed, double acceleration, bool asynchronous = false);
    bool move_l(const std::vector<double>& pose, double speed, double acceleration, bool asynchronous = false);
    bool follow_joint_trajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous = false);
    bool servo_j(const std::vector<double>& q, double time);
    void stop_motion(double deceleration);
    void stop_motion();
    MotionStatus motion_status();
    bool wait_motion(double timeout_s);

    // Declared by the interface but not provided.
    bool get_joint_names() = delete;
    bool go_home() = delete;
    bool gravity_compensation() = delete;
    bool set_joint_velocities() = delete;

private:
    class impl;
    std::unique_ptr<impl> pimpl;
};

}  // namespace qel::m4
