#include "qel/controller/ControllerThread.hpp"
#include "qel/can_motor_dlc/Mtp1Dlc.hpp"
#include "qel/can_motor_dlc/Mtp2Dlc.hpp"
#include "qel/motion/MotionControl.hpp"
#include "qel/motion/MotionPlanner.hpp"
#include "qel/output/Output.hpp"
#include "qel/realtime/CycleClock.hpp"
#include "qel/recording/CycleRecorder.hpp"
#include "qel/solver/Exercise.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <thread>

namespace qel::m4 {
namespace {

constexpr uint64_t kBannerEveryCycles = 20;  // ten times a second
constexpr const char* kBannerKey = "Qelmark";
// Motion time advances one cycle per cycle.
static_assert(control::kCyclePeriodNs == motion::kCycleNanos, "the motion layer's cycle is the control cycle");
static_assert(ControllerBase::GO_HOME == motion::MotionExecutor::kGoHome &&
                  ControllerBase::END_CONTROL == motion::MotionExecutor::kEndControl &&
                  ControllerBase::POSITION_CONTROL == motion::MotionExecutor::kPositionControl,
              "the motion layer's state numbers are the controller's");

void requireFinite(double value, const char* what) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(what) + " must be a finite number");
    }
}

static_assert(recording::kMotors == control::kMotors, "a cycle sample has one entry per motor");
static_assert(recording::kCycleCodes == ErrorCodeList::kRecentCodes,
              "a cycle sample keeps every code the list remembers for it");

}  // namespace

// dampNow is documented as safe in a signal handler.
static_assert(std::atomic<uint32_t>::is_always_lock_free, "damping requests need a lock-free counter");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "resume requests need a lock-free word");

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name, int type)
    : ControllerThread(urdf_path, can_name, type, ControllerOptions{}) {}

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name,
                                   int type, const ControllerOptions& options)
    : ControllerThread(urdf_path, can_name, type, options, std::make_unique<motion::MotionPlanner>(urdf_path)) {}

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name,
                                   int type, const ControllerOptions& options,
                                   std::unique_ptr<motion::MotionPlanner> planner)
    : ControllerBase(urdf_path, can_name, type, options, startSearch(urdf_path, options)) {
    motion::ControllerView view;
    view.state = [this] { return state_machine_.load(); };
    view.latched_code = [this] { return fault_latched_ ? latched_code_.load() : 0; };
    view.latched_message = [this] { return latchedFaultMessage(); };
    motion_ = std::make_unique<motion::MotionControl>(std::move(planner), motion_executor_, std::move(view));
    ee_command_exchange_ = Eigen::Isometry3d::Identity();
    // Start-up ends with fresh measurements; publishing them now keeps a host
    // that reads right after construction from seeing all-zero positions
    // before the first cycle has run.
    joint_status_exchange_ = joint_status_;
    measured_time_ns_exchange_ = realtime::systemNanos();
    ee_state_exchange_ = ee_state_;
    recording::RecordingLayout layout;
    layout.library_version = QEL_LIBRARY_VERSION;
    layout.robot_variant = type_;
    layout.can_interface = can_name_;
    layout.cycle_rate_hz = 1e9 / static_cast<double>(control::kCyclePeriodNs);
    for (std::size_t i = 0; i < control::kMotors; ++i) {
        const control::MotorSlot& slot = control::kMotorLayout[i];
        layout.motor_ids[i] = slot.motor_id;
        layout.torque_range[i] = slot.family == control::MotorFamily::kType1 ? hw_interface::MotorType1::kTorqueLimit
                                                                             : hw_interface::MotorType2::kTorqueLimit;
    }
    layout.gripper_zero = zero_point_position_[control::kGripper];
    recorder_ = std::make_unique<recording::CycleRecorder>(layout);
    // The motion layer's first report, from start-up's last set-point: a
    // host may command a motion as soon as construction returns.
    endMotionCycle();
    startThread();
}

std::unique_ptr<control::EndPoseSearchThread> ControllerThread::startSearch(
    const std::string& urdf_path, const ControllerOptions& options) {
    // The first thing construction does: bad options start nothing.
    checkOptions(options);
    // The search gets a solver of its own: the control thread's keeps
    // serving forward kinematics and gravity while it works.
    auto search = std::make_unique<control::EndPoseSearchThread>(urdf_path, options.realtime.search);
    realtime::handleRefusal(options.realtime.on_refusal, search->refusals());
    return search;
}

ControllerThread::~ControllerThread() {
    output::info("DisableMotor");
    atomic_thread_stop_flag_ = true;
    if (thread_started_) {
        while (!atomic_thread_finish_flag_) {
            output::info("[Controller] waiting for thread finish");
            sleep(1);
        }
        pthread_join(thread_id, nullptr);
    }
    output::info("[Controller] thread finish");
}

void ControllerThread::startThread() {
    atomic_thread_finish_flag_ = false;
    atomic_thread_stop_flag_ = false;
    if (pthread_create(&thread_id, nullptr, &ControllerThread::ArmThreadWrapper, this) != 0) {
        output::error("Failed to create thread");
        return;
    }
    thread_started_ = true;
    const std::string refused =
        realtime::applyScheduling(thread_id, options_.realtime.control, "control thread");
    if (!refused.empty() && options_.realtime.on_refusal == OnRefusal::kThrow) {
        // No destructor of this class runs after a throw from its
        // constructor: the thread must be gone before the base damps the arm.
        atomic_thread_stop_flag_ = true;
        pthread_join(thread_id, nullptr);
        thread_started_ = false;
    }
    realtime::handleRefusal(options_.realtime.on_refusal, refused);
}

void* ControllerThread::ArmThreadWrapper(void* arg) {
    static_cast<ControllerThread*>(arg)->ArmThread();
    return nullptr;
}

void ControllerThread::ArmThread() {
    // Only the timer slack can be refused here, and nobody could catch an
    // error on this thread: a refusal is a warning whatever the host chose.
    realtime::handleRefusal(OnRefusal::kWarn,
                            realtime::applyToCurrentThread(options_.realtime.control, "qel-control"));
    // Absolute deadlines, 5 ms apart: the wake-up latency of one cycle does
    // not delay the next. The loop sleeps rather than spins by default: a
    // spinning control thread would take a core from the receive thread that
    // delivers the feedback the next cycle needs (and from the host).
    realtime::CycleClock clock(control::kCyclePeriodNs, options_.realtime.spin_ns);
    clock.start();
    // Codes of the start-up belong to no cycle.
    error_code_.takeAppended(nullptr, 0);
    uint64_t counter = 0;
    while (!atomic_thread_stop_flag_) {
        const int64_t start = clock.cycleStart();
        const int64_t system_start = realtime::systemNanos();
        sent_commands_.clear();
        cycle_state_ = state_machine_.load();
        runCycle();
        // Before the exchange: the record holds the targets this cycle acted on.
        // Numbered from 1, as cycleCount() counts it once the cycle is done.
        captureCycle(counter + 1, start, system_start, clock.cycleLateness());
        exchangeData();
        published_.publish();
        if (counter % kBannerEveryCycles == 0) {
            output::writeRepeated(output::Level::kTrace, output::Stream::kStderr,
                                  kBannerKey, "Qelmark");
        }
        ++counter;
        cycle_count_ = counter;
        const int64_t work = realtime::monotonicNanos() - start;
        cycle_records_.push({start, work, clock.cycleLateness()});
        cycle_sample_.work_ns = work;
        recorder_->push(cycle_sample_);
        if (clock.waitNextCycle()) ++missed_deadlines_;
    }
    output::info("[ArmThread] DisableMotor");
    destoryFunc();
    atomic_thread_finish_flag_ = true;
    output::info("[ArmThread] finish close");
}

void ControllerThread::runCycle() {
    try {
        resumeIfAsked();
        actOnDampRequests();
        if (fault_latched_) {
            motion_executor_.cycleDamped(motionInput(), latched_code_);
            UpdateDamped();
            endMotionCycle();
            return;
        }
        beginMotionCycle();
        Update();
        endMotionCycle();
    } catch (const std::exception& error) {
        path_set_point_ = nullptr;
        handleFailure(error.what());
    } catch (...) {
        path_set_point_ = nullptr;
        handleFailure("unknown failure on the control thread");
    }
}

motion::CycleInput ControllerThread::motionInput() {
    motion::CycleInput input;
    input.state = &state_machine_;
    for (std::size_t i = 0; i < control::kMotors; ++i) {
        input.measured[i] = joint_status_[i].position - zero_point_position_[i];
        input.measured_velocity[i] = joint_status_[i].velocity;
    }
    input.arm_writes = arm_target_writes_.load();
    input.gripper_writes = gripper_target_writes_.load();
    return input;
}

void ControllerThread::beginMotionCycle() {
    const motion::PathCommand* path = motion_executor_.beginCycle(motionInput());
    if (motion_executor_.takeHold(&hold_)) {
        // The motion that ended hands position control its last set-point,
        // unless the host has set targets of its own since it started.
        hold_arm_pending_ = arm_target_writes_.load() == hold_.arm_writes;
        hold_gripper_pending_ = hold_.gripper && gripper_target_writes_.load() == hold_.gripper_writes;
        for (std::size_t i = 0; i < control::kArmJoints && hold_arm_pending_; ++i) {
            joint_target_[i].position = hold_.position[i];
        }
        if (hold_gripper_pending_) joint_target_[control::kGripper].position = hold_.position[control::kGripper];
    }
    if (path == nullptr) {
        path_set_point_ = nullptr;
        return;
    }
    for (std::size_t i = 0; i < control::kArmJoints; ++i) {
        path_command_.position[i] = path->set_point.position[i];
        path_command_.velocity[i] = path->set_point.velocity[i];
    }
    path_command_.gripper = path->gripper;
    path_command_.gripper_target = path->set_point.position[control::kGripper];
    path_set_point_ = &path_command_;
}

void ControllerThread::endMotionCycle() {
    path_set_point_ = nullptr;
    motion::Joints set_point{};
    for (std::size_t i = 0; i < control::kArmJoints; ++i) set_point[i] = temp_position[i];
    set_point[control::kGripper] = joint_target_[control::kGripper].position;
    motion_executor_.endCycle(set_point, path_sent_);
}

void ControllerThread::resumeIfAsked() {
    uint64_t resume = resume_request_.load();
    if (resume == 0) return;
    // A damping request made before the resume is acted on first: the
    // resume waits for the cycle after its latch.
    const uint32_t follows = static_cast<uint32_t>(resume);
    if (static_cast<int32_t>(follows - damp_requests_acted_) > 0) return;
    // A newer request replaced this one meanwhile: the next cycle takes it.
    if (!resume_request_.compare_exchange_strong(resume, 0)) return;
    if (!fault_latched_) return;
    // Only the fault the latch was for: whatever was recorded while latched
    // is raised from the next Update on.
    consumeFault(latched_fault_);
    latched_fault_ = {};
    latched_code_ = 0;
    fault_latched_ = false;
}

void ControllerThread::actOnDampRequests() {
    const uint32_t requested = damp_requests_.load();
    if (requested == damp_requests_acted_) return;
    damp_requests_acted_ = requested;
    if (fault_latched_) return;  // already damped, for a fault the host must hear of
    error_code_.appendFault(control::kCodeDampRequested);
    latch({control::kCodeDampRequested, 0, 0}, "Damping requested by the host; the arm is held damped");
}

void ControllerThread::handleFailure(const char* message) {
    // Motor faults, over-current and another commander recorded their code
    // before raising; anything else gets the control-thread code.
    RaisedFault fault = takeRaisedFault();
    if (fault_latched_) return;
    if (fault.code == 0) {
        fault.code = control::kCodeControlThreadFault;
        error_code_.appendFault(fault.code);
    }
    latch(fault, message);
}

void ControllerThread::latch(const RaisedFault& fault, const char* message) {
    if (fault_latched_) return;
    LatchMessage text;
    std::snprintf(text.text, sizeof text.text, "%s", message);
    latch_message_.store(text);
    latched_fault_ = fault;
    latched_code_ = fault.code;
    fault_latched_ = true;
    output::error(message);
}

std::string ControllerThread::latchedFaultMessage() const {
    if (!faultLatched()) return std::string();
    return latch_message_.load().text;
}

void ControllerThread::captureCycle(uint64_t cycle, int64_t start_ns, int64_t system_ns, int64_t late_ns) {
    recording::CycleSample& s = cycle_sample_;
    s.cycle = cycle;
    s.monotonic_ns = start_ns;
    s.system_ns = system_ns;
    s.late_ns = late_ns;
    s.state = cycle_state_;
    s.fault_latched = fault_latched_ ? 1 : 0;
    s.gripper_mode = catch_control_mode_.load() == kTorque ? 1 : 0;
    s.gripper_fast = catch_action_fast_.load() ? 1 : 0;
    for (std::size_t i = 0; i < control::kMotors; ++i) {
        s.joint_target[i] = joint_target_[i].position;
        s.sent[i] = sent_commands_.motor[i];
        s.position[i] = joint_status_[i].position - zero_point_position_[i];
        s.velocity[i] = joint_status_[i].velocity;
        s.current[i] = joint_status_[i].current;
    }
    s.gripper_torque = catch_torque_target_;
    solve::Isometry2Xyzrpy(ee_command_, s.pose_target);
    int codes[recording::kCycleCodes];
    const std::size_t appended = error_code_.takeAppended(codes, recording::kCycleCodes);
    s.code_count = static_cast<uint32_t>(appended);
    for (std::size_t i = 0; i < recording::kCycleCodes; ++i) s.codes[i] = i < appended ? codes[i] : 0;
}

void ControllerThread::startRecording(const std::string& path, RecordingFormat format) {
    recorder_->start(path, format);
}

RecordingStatus ControllerThread::stopRecording() { return recorder_->stop(); }

RecordingStatus ControllerThread::recordingStatus() const { return recorder_->status(); }

void ControllerThread::setFaultDumpFolder(const std::string& folder) { recorder_->setDumpFolder(folder); }

std::string ControllerThread::lastFaultDump() const { return recorder_->lastDump(); }

uint64_t ControllerThread::recorderDroppedCycles() const { return recorder_->droppedCycles(); }

std::vector<int> ControllerThread::getErrorCode() { return error_code_.take(); }

void ControllerThread::exchangeData() {
    // This cycle's number: the counter is advanced once the cycle is done.
    const uint64_t cycle = cycle_count_ + 1;
    const int64_t now = realtime::systemNanos();
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    // Re-checked here: the host may have set targets since the cycle began.
    if (hold_arm_pending_ && arm_target_writes_.load() == hold_.arm_writes) {
        for (std::size_t i = 0; i < control::kArmJoints; ++i) joint_target_exchange_[i].position = hold_.position[i];
    }
    if (hold_gripper_pending_ && gripper_target_writes_.load() == hold_.gripper_writes) {
        joint_target_exchange_[control::kGripper].position = hold_.position[control::kGripper];
    }
    hold_arm_pending_ = false;
    hold_gripper_pending_ = false;
    joint_status_exchange_ = joint_status_;
    measured_cycle_exchange_ = cycle;
    measured_time_ns_exchange_ = now;
    ee_state_exchange_ = ee_state_;
    ee_command_ = ee_command_exchange_;
    joint_target_ = joint_target_exchange_;
    catch_torque_target_ = catch_torque_exchange_;
}

void ControllerThread::StopThread() {
    output::info("Destroying arm Thread adapter...");
    atomic_thread_stop_flag_ = true;
    while (thread_started_ && !atomic_thread_finish_flag_) std::this_thread::yield();
}

std::vector<ControllerThread::HybridJointStatus> ControllerThread::getJointStatus() {
    // Sized before the lock: nothing allocates while the control thread may
    // wait for it.
    std::vector<HybridJointStatus> copy(control::kMotors);
    {
        std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
        std::copy(joint_status_exchange_.begin(), joint_status_exchange_.end(), copy.begin());
    }
    std::lock_guard<std::mutex> guard(mutex_host_side_);
    joint_status_safe_ = copy;
    return copy;
}

std::vector<double> ControllerThread::getJointPositons() {
    std::vector<double> positions(control::kMotors);
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    for (size_t i = 0; i < positions.size(); ++i) {
        positions[i] = joint_status_exchange_[i].position - zero_point_position_[i];
    }
    return positions;
}

std::vector<double> ControllerThread::getJointVelocities() {
    std::vector<double> velocities(control::kMotors);
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    for (size_t i = 0; i < velocities.size(); ++i) velocities[i] = joint_status_exchange_[i].velocity;
    return velocities;
}

std::vector<double> ControllerThread::getJointCurrent() {
    std::vector<double> currents(control::kMotors);
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    for (size_t i = 0; i < currents.size(); ++i) currents[i] = joint_status_exchange_[i].current;
    return currents;
}

JointSample ControllerThread::getJointSample() {
    JointSample sample;
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    sample.cycle = measured_cycle_exchange_;
    sample.time_ns = measured_time_ns_exchange_;
    for (size_t i = 0; i < control::kMotors; ++i) {
        sample.positions[i] = joint_status_exchange_[i].position - zero_point_position_[i];
        sample.velocities[i] = joint_status_exchange_[i].velocity;
        sample.currents[i] = joint_status_exchange_[i].current;
    }
    return sample;
}

JointSample ControllerThread::waitJointSample(uint64_t after_cycle, double timeout_s) {
    if (std::isnan(timeout_s) || timeout_s < 0.0) {
        throw std::invalid_argument("waitJointSample: the time-out must not be negative or NaN");
    }
    // Beyond any wait that matters, and far from overflowing the deadline.
    constexpr double kForever = 1e9;  // s
    const int64_t deadline = realtime::monotonicNanos() + static_cast<int64_t>(std::min(timeout_s, kForever) * 1e9);
    while (true) {
        // Read before the sample: a cycle published after it changes the
        // count, and the wait below returns at once.
        const uint32_t seen = published_.count();
        const JointSample sample = getJointSample();
        const int64_t left = deadline - realtime::monotonicNanos();
        if (sample.cycle > after_cycle || left <= 0) return sample;
        published_.waitPast(seen, left);
    }
}

Eigen::Isometry3d ControllerThread::getEndPose() {
    Eigen::Isometry3d copy;
    {
        std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
        copy = ee_state_exchange_;
    }
    std::lock_guard<std::mutex> guard(mutex_host_side_);
    ee_state_safe_ = copy;
    return copy;
}

void ControllerThread::setArmStatus(int state) {
    // Before the state: the control thread must not see the new state as
    // the running motion's.
    motion_->noteStateChange(state);
    state_machine_ = state;
    // The host has seen the fault (or its own damping request) and chose
    // what comes next; the control thread lifts the latch. The request
    // carries how many damping requests came before it, so that none of
    // them is lost to it.
    resume_request_.store(kResumeAsked | damp_requests_.load());
}

void ControllerThread::setEndPose(Eigen::Isometry3d pose) {
    if (!pose.matrix().allFinite()) {
        throw std::invalid_argument("setEndPose: the pose must contain only finite numbers");
    }
    {
        std::lock_guard<std::mutex> host(mutex_host_side_);
        ee_command_safe_ = pose;
    }
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    ee_command_exchange_ = pose;
}

void ControllerThread::setJointPositions(std::vector<double> positions) {
    if (positions.size() < control::kArmJoints) {
        throw std::invalid_argument("setJointPositions: expected at least six joint positions, got " +
                                    std::to_string(positions.size()));
    }
    for (size_t i = 0; i < control::kArmJoints; ++i) requireFinite(positions[i], "setJointPositions: every joint position");
    std::vector<HybridJointStatus> targets;
    {
        std::lock_guard<std::mutex> host(mutex_host_side_);
        for (size_t i = 0; i < control::kArmJoints; ++i) joint_target_safe_[i].position = positions[i];
        targets = joint_target_safe_;
    }
    // Only the arm's records: the gripper's is setCatch's alone, and a copy
    // taken above could be older than one setCatch stored in the meantime.
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    for (size_t i = 0; i < control::kArmJoints; ++i) joint_target_exchange_[i] = targets[i];
    ++arm_target_writes_;
}

void ControllerThread::setCatch(double position) {
    requireFinite(position, "setCatch: the gripper position");
    catch_control_mode_ = kPosition;
    HybridJointStatus target;
    {
        std::lock_guard<std::mutex> host(mutex_host_side_);
        joint_target_safe_[control::kGripper].position = position;
        target = joint_target_safe_[control::kGripper];
    }
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    joint_target_exchange_[control::kGripper] = target;
    ++gripper_target_writes_;
}

void ControllerThread::setCatchTorque(double torque) {
    requireFinite(torque, "setCatchTorque: the gripper torque");
    catch_control_mode_ = kTorque;
    {
        std::lock_guard<std::mutex> host(mutex_host_side_);
        catch_torque_safe_ = torque;
    }
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    catch_torque_exchange_ = torque;
}

bool ControllerThread::moveJ(const std::vector<double>& q, double speed, double acceleration,
                             bool asynchronous) {
    return motion_->moveJ(q, speed, acceleration, asynchronous);
}

bool ControllerThread::moveL(const Eigen::Isometry3d& pose, double speed, double acceleration,
                             bool asynchronous) {
    return motion_->moveL(pose, speed, acceleration, asynchronous);
}

bool ControllerThread::followJointTrajectory(const std::vector<TrajectoryPoint>& points, bool asynchronous) {
    return motion_->followJointTrajectory(points, asynchronous);
}

bool ControllerThread::servoJ(const std::vector<double>& q, double time) { return motion_->servoJ(q, time); }

void ControllerThread::stopMotion(double deceleration) {
    motion::requirePositive(deceleration, "stopMotion: the deceleration");
    motion_->stopMotion(deceleration);
}

void ControllerThread::stopMotion() { motion_->stopMotion(0.0); }

MotionStatus ControllerThread::motionStatus() { return motion_->motionStatus(); }

bool ControllerThread::waitMotion(double timeout_s) { return motion_->waitMotion(timeout_s); }

}  // namespace qel::m4
