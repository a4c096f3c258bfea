#include "qel/controller/ControllerThread.hpp"
#include "qel/output/Output.hpp"
#include "qel/realtime/CycleClock.hpp"

#include <unistd.h>

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

void requireFinite(double value, const char* what) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(what) + " must be a finite number");
    }
}

}  // namespace

// dampNow is documented as safe in a signal handler.
static_assert(std::atomic<uint32_t>::is_always_lock_free, "damping requests need a lock-free counter");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "resume requests need a lock-free word");

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name, int type)
    : ControllerThread(urdf_path, can_name, type, ControllerOptions{}) {}

ControllerThread::ControllerThread(const std::string& urdf_path, const std::string& can_name,
                                   int type, const ControllerOptions& options)
    : ControllerBase(urdf_path, can_name, type, options, startSearch(urdf_path, options)) {
    ee_command_exchange_ = Eigen::Isometry3d::Identity();
    // Start-up ends with fresh measurements; publishing them now keeps a host
    // that reads right after construction from seeing all-zero positions
    // before the first cycle has run.
    joint_status_exchange_ = joint_status_;
    ee_state_exchange_ = ee_state_;
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
    uint64_t counter = 0;
    while (!atomic_thread_stop_flag_) {
        const int64_t start = clock.cycleStart();
        runCycle();
        exchangeData();
        if (counter % kBannerEveryCycles == 0) {
            output::writeRepeated(output::Level::kTrace, output::Stream::kStderr,
                                  kBannerKey, "Qelmark");
        }
        ++counter;
        cycle_count_ = counter;
        cycle_records_.push({start, realtime::monotonicNanos() - start, clock.cycleLateness()});
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
            UpdateDamped();
            return;
        }
        Update();
    } catch (const std::exception& error) {
        handleFailure(error.what());
    } catch (...) {
        handleFailure("unknown failure on the control thread");
    }
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

std::vector<int> ControllerThread::getErrorCode() { return error_code_.take(); }

void ControllerThread::exchangeData() {
    std::lock_guard<realtime::PiMutex> guard(mutex_exchange_data_);
    joint_status_exchange_ = joint_status_;
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

}  // namespace qel::m4
