// Construction, start-up, the control cycle, the measurement refresh and
// shutdown of the controller core.
#include "qel/controller/ControllerBase.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "qel/can_motor_dlc/MotorCodec.hpp"
#include "qel/controller/ArmErrors.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/output/Output.hpp"
#include "qel/realtime/CycleClock.hpp"

namespace qel::m4 {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEnableRounds = 3;
constexpr int kDampingPasses = 100;
constexpr auto kHomingMinimum = std::chrono::milliseconds(3550);
// Far above any honest homing (a few seconds); reaching it means a joint is
// blocked or a motor does not follow.
constexpr auto kHomingTimeout = std::chrono::seconds(30);
constexpr useconds_t kFaultPause = 100000;  // µs, lets the damping take hold before raising
// Before enabling, the bus is listened to for this long: another controller
// sends seven command frames every few milliseconds and cannot go unheard.
constexpr auto kListenTime = std::chrono::milliseconds(100);
// How long after enabling at least one arm motor must have answered; far
// below the homing minimum, far above a motor's answer time.
constexpr auto kAnswerGrace = std::chrono::milliseconds(500);
constexpr auto kPassPeriod = std::chrono::milliseconds(5);
// Another commander is declared when this many command frames for the arm's
// motors arrive within one window of cycles (100 ms at 200 Hz). A second
// controller sends about 140 in that time; a single corrupted frame, or the
// odd one of random bus noise, stays far below.
constexpr uint32_t kForeignFramesThreshold = 8;
constexpr int kForeignWindowCycles = 20;

constexpr uint32_t motorBit(int motor_id) { return 1u << motor_id; }

constexpr uint32_t motorMask(std::size_t first, std::size_t last) {
    uint32_t mask = 0;
    for (std::size_t i = first; i < last; ++i) mask |= motorBit(control::kMotorLayout[i].motor_id);
    return mask;
}
constexpr uint32_t kArmMotorMask = motorMask(0, control::kArmJoints);
constexpr uint32_t kAllMotorMask = motorMask(0, control::kMotors);

// "joint 1 (id 1), joint 2 (id 2)" for the motors in `mask`.
std::string describeMotors(uint32_t mask) {
    std::string out;
    for (std::size_t i = 0; i < control::kMotors; ++i) {
        const int id = control::kMotorLayout[i].motor_id;
        if ((mask & motorBit(id)) == 0) continue;
        if (!out.empty()) out += ", ";
        out += i == control::kGripper ? "gripper" : "joint " + std::to_string(i + 1);
        out += " (id " + std::to_string(id) + ")";
    }
    return out;
}

// The gripper's calibration command: a constant closing velocity with light
// damping drives it into its end stop, whose position becomes the zero.
constexpr hw_interface::HybridJointCmd kGripperCalibration{0.0, -5.0, 0.0, 0.0, 0.2};
// After calibration: strong damping holds it where it stopped.
constexpr hw_interface::HybridJointCmd kGripperHold{0.0, 0.0, 0.0, 0.0, 2.0};

std::array<double, control::kMotors> lowerLimits() {
    std::array<double, control::kMotors> out{};
    for (std::size_t i = 0; i < control::kMotors; ++i) out[i] = control::kMotorLayout[i].lower;
    return out;
}

std::array<double, control::kMotors> upperLimits() {
    std::array<double, control::kMotors> out{};
    for (std::size_t i = 0; i < control::kMotors; ++i) out[i] = control::kMotorLayout[i].upper;
    return out;
}

std::shared_ptr<hw_interface::MotorDlcBase> makeDriver(const control::MotorSlot& slot) {
    if (slot.family == control::MotorFamily::kType1) {
        return std::make_shared<hw_interface::MotorType1>(slot.motor_id);
    }
    return std::make_shared<hw_interface::MotorType2>(slot.motor_id);
}

}  // namespace

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type)
    : ControllerBase(urdf_path, can_name, type, ControllerOptions{}) {}

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type,
                               const ControllerOptions& options)
    : ControllerBase(urdf_path, can_name, type, options, nullptr) {}

ControllerBase::ControllerBase(const std::string& urdf_path, const std::string& can_name, int type,
                               const ControllerOptions& options,
                               std::unique_ptr<control::EndPoseSearchThread> search)
    : can_name_(can_name),
      type_(type),
      solver_(urdf_path, "base_link", "link6"),
      lower_Joint(lowerLimits()),
      upper_Joint(upperLimits()),
      options_(options),
      end_pose_search_(search.get()),
      owned_search_(std::move(search)),
      measured_q_(control::kArmJoints),
      gravity_scratch_(control::kArmJoints) {
    checkOptions(options_);
    if (options_.realtime.lock_memory) {
        // Before any thread exists, so that none of them ever page-faults.
        realtime::handleRefusal(options_.realtime.on_refusal, realtime::lockMemory());
    }
    joint_ptr_.reserve(control::kMotors);
    for (const control::MotorSlot& slot : control::kMotorLayout) joint_ptr_.push_back(makeDriver(slot));
    offline_motors_.reserve(control::kArmJoints);
    try {
        Init();
    } catch (...) {
        // No destructor runs for a half-built object: the receive thread must
        // stop calling into the drivers before they are destroyed, and the
        // motors must not keep a stiff command.
        if (qel_can_) {
            destoryFunc();
            if (commanded_ && !failure_damped_ && qel_can_->IsOpen()) stateProtect();
        }
        throw;
    }
}

ControllerBase::~ControllerBase() {
    if (!qel_can_) return;
    // The receive thread outlives the drivers (the adapter goes last), so it
    // must stop calling into them first.
    destoryFunc();
    output::info("DisableMotor");
    // No disable frame: the motors keep this damping command after we exit.
    stateProtect();
}

void ControllerBase::Init() {
    qel_can_ = std::make_unique<hw_interface::SocketCan>();
    qel_can_->setReceiveThreadSettings(options_.realtime.receive);
    qel_can_->setCallBackFunction([this](CanFrame* frame) { CanCallback(frame); });
    qel_can_->setGetMsgContentFunction([this] { ExchangeMotorMsg(); });
    // A controller on a bus it cannot reach would report itself homed and
    // then only damp and complain: the host must hear of it now.
    if (!qel_can_->Init(can_name_.c_str())) {
        throw BusOpenError("Cannot open CAN interface '" + can_name_ +
                                 "': " + qel_can_->lastError());
    }
    realtime::handleRefusal(options_.realtime.on_refusal, qel_can_->receiveThreadRefusals());

    // Two controllers on one arm fight over every motor; the one starting
    // second stays off the bus.
    for (const Clock::time_point listen_end = Clock::now() + kListenTime; Clock::now() < listen_end;) {
        std::this_thread::sleep_for(kPassPeriod);
        qel_can_->LoadMutexMsg();
        noteForeignCommands();
        throwIfStartupInterrupted();
    }

    commanded_ = true;
    for (int round = 0; round < kEnableRounds; ++round) setEnableMotor();
    const Clock::time_point enabled = Clock::now();
    for (int pass = 0; pass < kDampingPasses; ++pass) {
        stateProtect();
        loadJointStatus();
        throwIfStartupInterrupted();
    }
    // Motors answer within a millisecond or so; a silent arm (powered off,
    // wrong interface) gets a short grace, then start-up fails loudly.
    while ((answered_ & kArmMotorMask) == 0 && Clock::now() - enabled < kAnswerGrace) {
        std::this_thread::sleep_for(kPassPeriod);
        stateProtect();
        loadJointStatus();
        throwIfStartupInterrupted();
    }
    if ((answered_ & kArmMotorMask) == 0) {
        dampForFailure();
        throw NoMotorAnswerError("No arm motor answers on CAN interface '" + can_name_ +
                                 "'; silent: " + describeMotors(kAllMotorMask & ~answered_) +
                                 ". The arm is damped.");
    }

    state_machine_.store(GO_HOME);
    const Clock::time_point start = Clock::now();
    realtime::CycleClock pacing(static_cast<int64_t>(1e9 / frequency_), options_.realtime.spin_ns);
    pacing.start();
    for (std::size_t i = 0; i < control::kMotors; ++i) temp_position[i] = joint_status_[i].position;

    bool homed = false;
    while (!homed) {
        throwIfStartupInterrupted();
        stateGoHome();
        sendCommand(control::kGripper, kGripperCalibration);
        const auto elapsed = Clock::now() - start;
        if (elapsed > kHomingMinimum && go_home_flag_) homed = true;
        if (!homed && elapsed > kHomingTimeout) {
            std::string away;
            for (std::size_t i = 0; i < control::kArmJoints; ++i) {
                if (!jointAtHome(i)) away += " " + std::to_string(i + 1);
            }
            dampForFailure();
            throw HomingTimeoutError("Homing did not complete within 30 s; joints not at home:" +
                                     away);
        }
        loadJointStatus();
        // Sleeping rather than spinning (unless the host asked for a spin
        // margin): the receive thread needs the CPU to deliver the feedback
        // this loop waits for.
        pacing.waitNextCycle();
    }

    zero_point_position_[control::kGripper] = joint_status_[control::kGripper].position;
    sendCommand(control::kGripper, kGripperHold);
    output::write(output::Level::kInfo, output::Stream::kStderr, "Init completed");
}

void ControllerBase::watchBus() {
    if (!qel_can_->checkOnline()) error_code_.appendReport(control::kCodeBusOffline);
}

void ControllerBase::Update() {
    path_sent_ = false;
    watchBus();

    if (other_commander_pending_) {
        stateProtect();
        errorOtherCommander();
    }
    int faulty_motor = 0;
    int fault_code = 0;
    if (error_code_.pendingMotorFault(&faulty_motor, &fault_code)) {
        stateProtect();
        usleep(kFaultPause);
        raised_ = {control::motorFaultCode(faulty_motor, fault_code), faulty_motor, fault_code};
        errorMotorFault(faulty_motor, fault_code);
    }

    if (online_) {
        const int state = state_machine_.load();
        cycle_state_ = state;
        switch (state) {
            case SOFT:
                stateSoft();
                break;
            case GO_HOME:
                stateGoHome();
                // Whatever the host asked before, the gripper stays closed
                // while the arm goes home.
                joint_target_[control::kGripper].position = 0.0;
                CatchPositionCtrl();
                break;
            case G_COMPENSATION:
                stateGravityCompensation();
                break;
            case END_CONTROL:
                stateEndControl();
                break;
            case POSITION_CONTROL:
                if (path_set_point_ != nullptr) {
                    statePathControl(*path_set_point_);
                } else {
                    statePositionControl();
                }
                break;
            case PROTECT:
            default:
                stateProtect();
                break;
        }
    } else {
        stateProtect();
        errorCurrentDeviceOffline();
    }

    loadJointStatus();
}

void ControllerBase::UpdateDamped() {
    watchBus();
    stateProtect();
    if (!online_) errorCurrentDeviceOffline();
    loadJointStatus();
}

void ControllerBase::loadJointStatus() {
    qel_can_->LoadMutexMsg();
    ++refresh_count_;
    noteForeignCommands();

    offline_motors_.clear();
    for (std::size_t i = 0; i < control::kMotors; ++i) {
        joint_status_[i] = joint_ptr_[i]->GetMotorMsg();
        const int code = joint_ptr_[i]->getErrorCode();
        if (control::isDriverFault(code)) {
            error_code_.appendMotorFault(static_cast<int>(i) + 1, code);
        }
    }
    // The gripper is left out: without it the arm is still safe to move.
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        const bool motor_online = joint_ptr_[i]->online();
        if (!motor_online) {
            const int number = static_cast<int>(i) + 1;
            error_code_.appendReport(control::offlineCode(number));
            offline_motors_.push_back(number);
        }
        online_ = online_ && motor_online;
    }

    for (std::size_t i = 0; i < control::kArmJoints; ++i) measured_q_(i) = joint_status_[i].position;
    solver_.computeGravityCompensationTorque(measured_q_, gravity_scratch_);
    for (std::size_t i = 0; i < control::kArmJoints; ++i) gravity_compensation_torqe_[i] = gravity_scratch_(i);

    const KDL::Frame flange = solver_.computeForwardKinematics(measured_q_);
    double pose[6] = {flange.p.x(), flange.p.y(), flange.p.z(), 0.0, 0.0, 0.0};
    flange.M.GetRPY(pose[3], pose[4], pose[5]);
    ee_state_ = qel::solve::Xyzrpy2Isometry(pose);
}

std::vector<ControllerBase::HybridJointStatus> ControllerBase::getJointStatus() {
    return joint_status_;
}

Eigen::Isometry3d ControllerBase::getEndPose() { return ee_state_; }

void ControllerBase::ExchangeMotorMsg() {
    for (const auto& driver : joint_ptr_) driver->ExchangeMotorMsg();
    answered_ |= answered_rx_;
    foreign_ids_ |= foreign_ids_rx_;
    foreign_frames_ += foreign_frames_rx_;
    answered_rx_ = 0;
    foreign_ids_rx_ = 0;
    foreign_frames_rx_ = 0;
}

void ControllerBase::CanCallback(CanFrame* frame) {
    for (const auto& driver : joint_ptr_) driver->CanAnalyze(frame);
    // Runs under the adapter's data lock for every frame on the bus: a few
    // bit operations, nothing more.
    if (frame->can_id == hw_interface::kFeedbackCanId) {
        answered_rx_ |= motorBit(frame->data[0] & 0xF) & kAllMotorMask;
    } else if (frame->can_id < 32 && (motorBit(static_cast<int>(frame->can_id)) & kAllMotorMask) != 0 &&
               frame->can_dlc == 8) {
        foreign_ids_rx_ |= motorBit(static_cast<int>(frame->can_id));
        ++foreign_frames_rx_;
    }
}

void ControllerBase::noteForeignCommands() {
    window_foreign_ids_ |= foreign_ids_;
    window_foreign_frames_ += foreign_frames_;
    foreign_ids_ = 0;
    foreign_frames_ = 0;
    const bool heard = window_foreign_frames_ >= kForeignFramesThreshold;
    if (heard) {
        error_code_.appendFault(control::kCodeOtherCommander);
        other_commander_pending_ = true;
        other_commander_ids_ = window_foreign_ids_;
    }
    if (heard || ++window_cycles_ >= kForeignWindowCycles) {
        window_cycles_ = 0;
        window_foreign_ids_ = 0;
        window_foreign_frames_ = 0;
    }
}

void ControllerBase::errorOtherCommander() {
    raised_ = {control::kCodeOtherCommander, 0, 0};
    throw OtherCommanderError("Another controller is commanding the arm on CAN interface '" +
                             can_name_ + "' (command frames for " +
                             describeMotors(other_commander_ids_) + "); this controller " +
                             (commanded_ ? "holds the arm damped" : "does not start"));
}

void ControllerBase::dampForFailure() {
    stateProtect();
    failure_damped_ = true;
}

void ControllerBase::throwIfStartupInterrupted() {
    if (other_commander_pending_) {
        if (commanded_) dampForFailure();
        errorOtherCommander();
    }
    if (options_.cancel && options_.cancel->cancelled()) {
        if (commanded_) dampForFailure();
        throw StartupCancelledError("Start-up on CAN interface '" + can_name_ +
                                 "' was cancelled" + (commanded_ ? "; the arm is damped" : ""));
    }
}

ControllerBase::RaisedFault ControllerBase::takeRaisedFault() {
    const RaisedFault fault = raised_;
    raised_ = {};
    return fault;
}

void ControllerBase::consumeFault(const RaisedFault& fault) {
    if (fault.code == control::kCodeOtherCommander) other_commander_pending_ = false;
    if (fault.joint != 0) error_code_.consumePendingFault(fault.joint, fault.driver_code);
}

void checkOptions(const ControllerOptions& options) {
    const long spin_ns = options.realtime.spin_ns;
    if (spin_ns < 0 || spin_ns >= control::kCyclePeriodNs) {
        throw std::invalid_argument("spin_ns must be from 0 to below the " + std::to_string(control::kCyclePeriodNs) +
                                    " ns cycle period (it is the part of each cycle spent spinning), not " +
                                    std::to_string(spin_ns));
    }
}

void ControllerBase::setInterpolationParam(double max_acc, double max_vel) {
    if (!std::isfinite(max_acc) || !std::isfinite(max_vel)) {
        throw std::invalid_argument("interpolation limits must be finite");
    }
    max_acc_.store(control::limit(max_acc, 0.0, 0.5));
    max_vel_.store(control::limit(max_vel, 0.0, 2.0));
}

void ControllerBase::setCatchActionFast() { catch_action_fast_.store(true); }

void ControllerBase::setCatchActionSlow() { catch_action_fast_.store(false); }

void ControllerBase::setEndEffectorMass(double mass) {
    // Host input: refused here as such, before the solver sees it.
    if (!std::isfinite(mass) || mass < 0.0) {
        throw std::invalid_argument("the end-effector mass must be finite and not negative");
    }
    solver_.setEndEffectorMass(mass);
}

void ControllerBase::destoryFunc() {
    if (!qel_can_) return;
    qel_can_->setCallBackFunction(nullptr);
    qel_can_->setGetMsgContentFunction(nullptr);
}

bool ControllerBase::computeInverseKinematics(double* _current_pos, double* _endstate) {
    if (!end_pose_solver_.solvePose(_endstate, _current_pos, solve_position_)) return false;
    has_solution_ = true;
    return true;
}

}  // namespace qel::m4
