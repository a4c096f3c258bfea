#include "sim/VirtualArm.hpp"

#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "sim/RawCanSocket.hpp"

namespace qel::sim {

using hw_interface::CanFrame;

namespace {

// The simulation wakes at least this often even on a quiet bus, so the
// state read by states() never lags the wall clock by more.
constexpr auto kMaxSleep = std::chrono::milliseconds(5);
// After a stall (a debugger, an overloaded machine) the arm does not race
// through the missed time: at most this much is caught up, the rest is lost.
constexpr int kMaxCatchUpSteps = 100;
// Bounds the work of one wake-up under a flood so the physics keeps its pace.
constexpr std::size_t kMaxFramesPerWake = 256;
constexpr auto kMaxDelay = std::chrono::seconds(10);
constexpr double kMaxRandomFrameRate = 10000.0;
constexpr auto kStep = std::chrono::duration_cast<SimClock::duration>(
    std::chrono::duration<double>(ArmDynamics::kStep));

static_assert(sizeof(CanFrame) == sizeof(can_frame), "CanFrame must match the kernel frame");

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read robot description '" + path + "'");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ArmDynamicsOptions dynamicsOptions(const VirtualArmOptions& options) {
    ArmDynamicsOptions result;
    if (!options.urdf_path.empty()) result.urdf_xml = readFile(options.urdf_path);
    result.start_joints = options.start_joints;
    result.payload = options.payload;
    result.gripper_start = options.gripper_start;
    result.gripper_end_stop = options.gripper_end_stop;
    result.gripper_travel = options.gripper_travel;
    return result;
}

std::array<SimulatedMotor, kAxes> makeMotors() {
    return {SimulatedMotor(kMotorLayout[0]), SimulatedMotor(kMotorLayout[1]),
            SimulatedMotor(kMotorLayout[2]), SimulatedMotor(kMotorLayout[3]),
            SimulatedMotor(kMotorLayout[4]), SimulatedMotor(kMotorLayout[5]),
            SimulatedMotor(kMotorLayout[6])};
}

}  // namespace

// The simulation thread and its socket.
class VirtualArm::Runner {
public:
    Runner(VirtualArm& arm, int fd) : arm_(arm), fd_(fd), random_(arm.seed_) {
        thread_ = std::thread([this] { loop(); });
    }
    ~Runner() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }

private:
    struct Pending {
        Clock::time_point due;
        CanFrame frame;
    };

    static constexpr std::size_t kBatch = 32;

    void loop();
    void wait(Clock::time_point now, Clock::time_point until);
    std::size_t sendAll();
    void handleFrame(const CanFrame& frame, Clock::time_point now, bool silent);
    void advancePhysics(Clock::time_point now);
    void readFrames(Clock::time_point now);
    void collectDue(Clock::time_point now);
    void addRandomFrames(Clock::time_point now);
    CanFrame randomFrame();

    VirtualArm& arm_;
    int fd_;
    std::atomic<bool> stop_{false};
    std::mt19937 random_;
    std::uniform_real_distribution<double> draw_{0.0, 1.0};
    Clock::time_point sim_time_;
    Clock::time_point next_random_;
    std::vector<Pending> pending_;
    std::vector<CanFrame> outgoing_;
    std::vector<CanFrame> observed_;  // for on_frame, handed over unlocked
    std::array<CanFrame, kBatch> incoming_{};
    std::array<mmsghdr, kBatch> messages_{};
    std::array<iovec, kBatch> vectors_{};
    std::thread thread_;
};

void VirtualArm::Runner::loop() {
    sim_time_ = Clock::now();
    next_random_ = sim_time_;
    Clock::time_point now = sim_time_;
    while (!stop_) {
        Clock::time_point wake = now + kMaxSleep;
        for (const Pending& pending : pending_) wake = std::min(wake, pending.due);
        {
            std::lock_guard<std::mutex> lock(arm_.mutex_);
            if (arm_.random_frame_rate_ > 0.0) wake = std::min(wake, next_random_);
        }
        wait(now, wake);

        now = Clock::now();
        outgoing_.clear();
        {
            std::lock_guard<std::mutex> lock(arm_.mutex_);
            advancePhysics(now);
            readFrames(now);
            collectDue(now);
            addRandomFrames(now);
        }
        const uint64_t failures = outgoing_.size() - sendAll();
        for (const CanFrame& frame : observed_) arm_.on_frame_(frame);
        observed_.clear();
        if (failures > 0) {
            std::lock_guard<std::mutex> lock(arm_.mutex_);
            arm_.stats_.send_failures += failures;
        }
    }
}

// One system call for all frames of a wake-up: under a virtualised kernel a
// system call costs more than everything else the simulation does per frame.
std::size_t VirtualArm::Runner::sendAll() {
    std::size_t sent = 0;
    while (sent < outgoing_.size()) {
        const std::size_t count = std::min(outgoing_.size() - sent, kBatch);
        for (std::size_t i = 0; i < count; ++i) {
            vectors_[i] = {&outgoing_[sent + i], sizeof(CanFrame)};
            messages_[i] = {};
            messages_[i].msg_hdr.msg_iov = &vectors_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
        const int done = sendmmsg(fd_, messages_.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
        if (done <= 0) break;
        sent += static_cast<std::size_t>(done);
    }
    return sent;
}

void VirtualArm::Runner::wait(Clock::time_point now, Clock::time_point until) {
    const auto left = until - now;
    if (left <= Clock::duration::zero()) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ppoll(&waiting, 1, &timeout, nullptr);
    if (ready == 1 && (waiting.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        // The interface went down: clear the error and sit out the wait
        // instead of spinning on a socket that stays readable-with-error.
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);
        const auto rest = until - Clock::now();
        if (rest > Clock::duration::zero()) std::this_thread::sleep_for(rest);
    }
}

void VirtualArm::Runner::advancePhysics(Clock::time_point now) {
    auto steps = (now - sim_time_) / kStep;
    if (steps > kMaxCatchUpSteps) {
        sim_time_ = now - kMaxCatchUpSteps * kStep;
        steps = kMaxCatchUpSteps;
    }
    std::vector<VirtualArm::Push>& pushes = arm_.pushes_;
    for (auto i = 0; i < steps; ++i) {
        const Clock::time_point t = sim_time_ + i * kStep;
        std::array<double, kArmJoints> external = arm_.held_torque_;
        for (const VirtualArm::Push& push : pushes) {
            if (t >= push.start && t < push.end) external[push.joint] += push.torque;
        }
        arm_.dynamics_.setExternalTorques(external);
        arm_.dynamics_.step();
    }
    sim_time_ += steps * kStep;
    pushes.erase(std::remove_if(pushes.begin(), pushes.end(),
                                [this](const VirtualArm::Push& push) { return push.end <= sim_time_; }),
                 pushes.end());
}

void VirtualArm::Runner::readFrames(Clock::time_point now) {
    const bool silent = arm_.bus_silent_from_ && now >= *arm_.bus_silent_from_;
    for (std::size_t i = 0; i < kMaxFramesPerWake; i += kBatch) {
        for (std::size_t j = 0; j < kBatch; ++j) {
            vectors_[j] = {&incoming_[j], sizeof(CanFrame)};
            messages_[j] = {};
            messages_[j].msg_hdr.msg_iov = &vectors_[j];
            messages_[j].msg_hdr.msg_iovlen = 1;
        }
        const int count = recvmmsg(fd_, messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
        for (int j = 0; j < count; ++j) {
            if (messages_[j].msg_len != sizeof(CanFrame)) continue;
            if (arm_.on_frame_) observed_.push_back(incoming_[j]);
            handleFrame(incoming_[j], now, silent);
        }
        if (count < static_cast<int>(kBatch)) break;
    }
}

void VirtualArm::Runner::handleFrame(const CanFrame& frame, Clock::time_point now, bool silent) {
    const int axis = axisOfMotor(static_cast<int>(frame.can_id));
    if (axis < 0) return;
    SimulatedMotor& motor = arm_.motors_[axis];
    if (motor.receive(frame) == SimulatedMotor::FrameKind::kIgnored) return;
    ++arm_.stats_.frames_received;
    arm_.dynamics_.setDrive(axis, motor.enabled(), motor.command());
    if (silent) return;
    const SimulatedMotor::AnswerPlan plan = motor.planAnswer(now, draw_(random_));
    if (!plan.send) return;
    const CanFrame answer = motor.answer(arm_.dynamics_.state(axis));
    if (plan.due <= now) {
        outgoing_.push_back(answer);
        ++arm_.stats_.answers_sent;
    } else {
        pending_.push_back({plan.due, answer});
    }
}

void VirtualArm::Runner::collectDue(Clock::time_point now) {
    if (pending_.empty()) return;
    // Answers leave in the order they fall due; equal delays keep the order
    // of the frames they answer.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
    const bool silent = arm_.bus_silent_from_ && now >= *arm_.bus_silent_from_;
    auto due = pending_.begin();
    while (due != pending_.end() && due->due <= now) {
        if (!silent) {
            outgoing_.push_back(due->frame);
            ++arm_.stats_.answers_sent;
        }
        ++due;
    }
    pending_.erase(pending_.begin(), due);
}

void VirtualArm::Runner::addRandomFrames(Clock::time_point now) {
    const double rate = arm_.random_frame_rate_;
    const bool silent = arm_.bus_silent_from_ && now >= *arm_.bus_silent_from_;
    if (rate <= 0.0 || silent) {
        next_random_ = now;
        return;
    }
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
    // A late wake-up sends what fell due, but not a burst of more than 100 ms
    // worth of frames.
    const auto horizon = std::max<Clock::duration>(period, std::chrono::milliseconds(100));
    if (now - next_random_ > horizon) next_random_ = now - horizon;
    while (next_random_ <= now) {
        outgoing_.push_back(randomFrame());
        ++arm_.stats_.random_frames_sent;
        next_random_ += period;
    }
}

CanFrame VirtualArm::Runner::randomFrame() {
    std::uniform_int_distribution<uint32_t> identifier(0, CAN_SFF_MASK);
    std::uniform_int_distribution<int> length(0, 8);
    std::uniform_int_distribution<int> byte(0, 255);
    CanFrame frame;
    frame.can_id = identifier(random_);
    frame.can_dlc = static_cast<uint8_t>(length(random_));
    for (int i = 0; i < frame.can_dlc; ++i) frame.data[i] = static_cast<uint8_t>(byte(random_));
    return frame;
}

VirtualArm::VirtualArm(const VirtualArmOptions& options)
    : dynamics_(dynamicsOptions(options)),
      motors_(makeMotors()),
      seed_(options.random_seed),
      interface_(options.interface),
      on_frame_(options.on_frame) {}

VirtualArm::~VirtualArm() { stop(); }

void VirtualArm::start() {
    std::lock_guard<std::mutex> guard(runner_mutex_);
    if (runner_) return;
    std::vector<int> motor_ids(kMotorIds.begin(), kMotorIds.end());
    const int fd = openRawCanSocket(interface_, motor_ids);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_ = {};
    }
    runner_ = std::make_unique<Runner>(*this, fd);
}

void VirtualArm::stop() {
    std::lock_guard<std::mutex> guard(runner_mutex_);
    runner_.reset();
}

bool VirtualArm::running() const {
    std::lock_guard<std::mutex> guard(runner_mutex_);
    return runner_ != nullptr;
}

int VirtualArm::axisOf(int motor_id) {
    const int axis = axisOfMotor(motor_id);
    if (axis < 0) {
        throw std::invalid_argument("no motor with identifier " + std::to_string(motor_id) +
                                    " (the arm has 1, 2, 4, 5, 6, 7 and 8)");
    }
    return axis;
}

std::array<MotorState, kAxes> VirtualArm::states() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::array<MotorState, kAxes> result;
    for (std::size_t i = 0; i < kAxes; ++i) {
        const AxisState axis = dynamics_.state(static_cast<int>(i));
        result[i] = {kMotorLayout[i].motor_id, motors_[i].enabled(), axis.position, axis.velocity,
                     axis.torque};
    }
    return result;
}

MotorState VirtualArm::state(int motor_id) const { return states()[axisOf(motor_id)]; }

VirtualArmStats VirtualArm::stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

template <typename Change>
void VirtualArm::changeFaults(int motor_id, Change change) {
    const int axis = axisOf(motor_id);
    std::lock_guard<std::mutex> lock(mutex_);
    MotorFaults faults = motors_[axis].faults();
    change(faults);
    motors_[axis].setFaults(faults);
}

void VirtualArm::silenceMotor(int motor_id, Clock::time_point from) {
    changeFaults(motor_id, [&](MotorFaults& faults) { faults.silent_from = from; });
}

void VirtualArm::setStatusCode(int motor_id, std::optional<int> code) {
    changeFaults(motor_id, [&](MotorFaults& faults) { faults.status_code = code; });
}

void VirtualArm::setReportedCurrent(int motor_id, std::optional<double> current) {
    changeFaults(motor_id, [&](MotorFaults& faults) { faults.current = current; });
}

void VirtualArm::setDropFraction(int motor_id, double fraction) {
    changeFaults(motor_id, [&](MotorFaults& faults) { faults.drop_fraction = fraction; });
}

void VirtualArm::setAnswerDelay(int motor_id, std::chrono::microseconds delay) {
    if (delay > kMaxDelay) throw std::invalid_argument("answer delay must not exceed 10 s");
    changeFaults(motor_id, [&](MotorFaults& faults) { faults.delay = delay; });
}

void VirtualArm::clearFaults(int motor_id) {
    changeFaults(motor_id, [](MotorFaults& faults) { faults = MotorFaults{}; });
}

MotorFaults VirtualArm::faults(int motor_id) const {
    const int axis = axisOf(motor_id);
    std::lock_guard<std::mutex> lock(mutex_);
    return motors_[axis].faults();
}

void VirtualArm::setPayload(double mass) {
    std::lock_guard<std::mutex> lock(mutex_);
    dynamics_.setPayload(mass);
}

namespace {

std::size_t externalJoint(int joint, double torque) {
    if (joint < 1 || joint > static_cast<int>(kArmJoints)) {
        throw std::invalid_argument("external torques act on joints 1 to 6, not " + std::to_string(joint));
    }
    if (!std::isfinite(torque) || std::fabs(torque) > VirtualArm::kMaxExternalTorque) {
        throw std::invalid_argument("an external torque must be a finite number from -1000 to 1000 N·m");
    }
    return static_cast<std::size_t>(joint - 1);
}

}  // namespace

void VirtualArm::setExternalTorque(int joint, double torque) {
    const std::size_t index = externalJoint(joint, torque);
    std::lock_guard<std::mutex> lock(mutex_);
    held_torque_[index] = torque;
}

void VirtualArm::push(int joint, double torque, Clock::time_point start, Clock::duration duration) {
    const std::size_t index = externalJoint(joint, torque);
    if (duration < Clock::duration::zero()) throw std::invalid_argument("a push cannot last a negative time");
    std::lock_guard<std::mutex> lock(mutex_);
    pushes_.push_back({index, torque, start, start + duration});
}

std::array<double, kArmJoints> VirtualArm::externalTorques() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dynamics_.externalTorques();
}

void VirtualArm::silenceBus(Clock::time_point from) {
    std::lock_guard<std::mutex> lock(mutex_);
    bus_silent_from_ = from;
}

void VirtualArm::resumeBus() {
    std::lock_guard<std::mutex> lock(mutex_);
    bus_silent_from_.reset();
}

void VirtualArm::setRandomFrameRate(double frames_per_second) {
    if (!(frames_per_second >= 0.0 && frames_per_second <= kMaxRandomFrameRate)) {
        throw std::invalid_argument("random frame rate must be 0 to 10000 frames per second");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    random_frame_rate_ = frames_per_second;
}

}  // namespace qel::sim
