#pragma once

// The control thread's side of the motion layer: takes the plans and servo
// targets host threads hand over, samples the running motion once per
// cycle, stops it, ends it, and reports what it did. Everything here that
// the control thread calls is bounded arithmetic: no allocation, no free, no
// lock, no I/O. Host threads hand over through lock-free slots and read back
// through a lock-free latest-value report and a bounded queue of outcomes.
//
// Motion time advances by one cycle (kCycleSeconds) per cycle. The cycle
// that takes a motion sends its set-point one cycle into it; a stop scales
// the motion's time down to standstill along its own path.

#include <atomic>
#include <cstdint>

#include "qel/motion/MotionPlan.hpp"
#include "qel/motion/MotionTypes.hpp"
#include "qel/realtime/SampleRing.hpp"
#include "qel/realtime/TripleBuffer.hpp"

namespace qel::m4::motion {

// Why a motion ended away from its goal or did not start, as the control
// thread saw it; the host turns it into words (MotionControl).
enum class Cause : uint8_t {
    kNone = 0,
    kStopMotion,      // stopMotion
    kReplaced,        // a newer motion command
    kStateChanged,    // setArmStatus; value: the state it set
    kFault,           // a latched fault or dampNow; value: its code
    kPassiveState,    // not started in state `value` (limp, damped or floating)
    kSetPointMoving,  // a move planned from rest found the set-point moving or moved
    kLeadInRange,     // the way from the set-point to the first point leaves joint `value`'s range
    kLeadInSpeed,     // ... needs joint `value` faster than its limit
    kNotSent,         // the controller sent no set-point of it (a motor offline); value: state
    kNotSettled,      // the arm did not arrive within kSettleSeconds; value: the joint furthest off
    kTooFastToJoin,   // the state's set-point moves faster than a motion may start from
};

// One hand-over from a host thread.
struct Command {
    enum class Type : uint8_t { kNone, kPlan, kServo };
    uint64_t sequence = 0;
    Type type = Type::kNone;
    const MotionPlan* plan = nullptr;  // kPlan; owned by the host until reclaimed
    // kServo: reach `target` with `target_velocity` `cycles` cycles after
    // the cycle that takes it.
    Joints target{};
    Joints target_velocity{};
    int cycles = 1;
    bool has_gripper = false;
};

// How a motion ended (or why it never ran).
struct Outcome {
    uint64_t sequence = 0;
    MotionKind kind = MotionKind::kNone;
    MotionState state = MotionState::kIdle;
    Cause cause = Cause::kNone;
    int value = 0;
    double progress = 0.0;
};

// The control thread's newest view, published every cycle.
struct Report {
    uint64_t cycle = 0;
    uint64_t taken = 0;        // newest command sequence the control thread has dealt with
    uint64_t plan_in_use = 0;  // sequence of the plan it still samples (0: none)
    // The running motion, if any (sequence 0: none).
    uint64_t sequence = 0;
    MotionKind kind = MotionKind::kNone;
    double progress = 0.0;
    // This cycle's set-point (the motion's, or the state's when none runs),
    // its velocity, and the measured axes it was computed against.
    Sample set_point{};
    Joints measured{};
};

// What a cycle's set-point is when a motion sends it.
struct PathCommand {
    Sample set_point;
    bool gripper = false;  // whether set_point carries the gripper's target
};

// When a motion ends, the position-control targets that hold its last
// set-point, unless the host has set targets of its own since it started.
struct Hold {
    Joints position{};
    bool gripper = false;
    uint64_t arm_writes = 0;      // the host's target writes when the motion started
    uint64_t gripper_writes = 0;
};

// The control thread's input at the start of a cycle.
struct CycleInput {
    // The control state; a motion that starts from homing or pose control
    // switches it to position control (only if the host has not changed it
    // meanwhile).
    std::atomic<int>* state = nullptr;
    Joints measured{};           // arm joints (rad); the gripper from its zero
    Joints measured_velocity{};  // rad/s
    uint64_t arm_writes = 0;     // how often the host has set joint targets
    uint64_t gripper_writes = 0;
};

class MotionExecutor {
public:
    // The state numbers this layer needs; they are the controller's.
    static constexpr int kGoHome = 1;
    static constexpr int kEndControl = 4;
    static constexpr int kPositionControl = 5;

    // ---- host threads ----
    // A fresh sequence number; every command, stop and state change takes
    // one, so that the control thread applies them in the order given.
    uint64_t nextSequence() { return sequence_.fetch_add(1) + 1; }
    // Hands `command` over; a command not yet taken is replaced. One host
    // thread at a time (the caller serialises).
    void post(const Command& command) { commands_.publish(command); }
    // Asks the running motion (and anything posted before `sequence`) to
    // stop at `deceleration` (0: the motion's own default); `cause` says
    // how the motion then ends. Lock-free; any host thread.
    void requestStop(uint64_t sequence, double deceleration, Cause cause);
    // The host is setting the control state to `state`; the running motion
    // (and anything posted before `sequence`) ends. Call before storing the
    // state. Lock-free; any host thread.
    void noteStateChange(uint64_t sequence, int state) {
        state_change_value_.store(state);
        state_change_.store(sequence);
    }
    // The newest report; false if none was published since the last call.
    // One host thread at a time.
    bool takeReport(Report* out) { return reports_.take(out); }
    // Outcomes in the order they happened; one host thread at a time.
    std::size_t takeOutcomes(Outcome* out, std::size_t capacity) { return outcomes_.take(out, capacity); }

    // ---- control thread ----
    // Takes what the hosts handed over and advances the running motion by
    // one cycle. Returns the set-point to send, or null when no motion runs
    // (the state's handler then runs as usual).
    const PathCommand* beginCycle(const CycleInput& input);
    // A fault or a damping request holds the arm damped: the running motion
    // ends and nothing posted starts. `code` is the fault's.
    void cycleDamped(const CycleInput& input, int code);
    // After the cycle's handler ran: `set_point` is the arm's set-point as
    // the handler left it (the gripper's target in entry 6) and `sent`
    // whether the motion's set-point went out. Publishes the report.
    void endCycle(const Joints& set_point, bool sent);
    // The targets that hold the motion that ended this cycle, once.
    bool takeHold(Hold* out);

private:
    enum class Phase { kMoving, kStopping, kSettling };

    struct Active {
        bool running = false;
        uint64_t sequence = 0;
        MotionKind kind = MotionKind::kNone;
        const MotionPlan* plan = nullptr;
        bool has_gripper = false;
        bool servo = false;
        bool lead_in = false;  // cubic before the plan's anchor
        Joints drift{};        // kFromRest plans: set-point minus planned start
        CubicMove cubic;       // the lead-in, or the servo's way to its target
        Joints coast{};        // servo: the target's velocity, kept after it
        double tau = 0.0;      // motion time
        double rate = 1.0;     // motion time per wall time
        double rate_slope = 0.0;
        Phase phase = Phase::kMoving;
        Cause stop_cause = Cause::kNone;
        int settle_cycles = 0;
        Joints hold{};
        uint64_t arm_writes = 0;
        uint64_t gripper_writes = 0;
    };

    void takeCommands(const CycleInput& input);
    // Moves a newly handed-over command into pending_ (an older one still
    // waiting there was overtaken).
    void takePending();
    void start(const Command& command, const CycleInput& input, int state);
    bool startServo(const Command& command);
    void beginStop(double deceleration, Cause cause);
    void advance(const CycleInput& input);
    // The motion's path at time tau (velocity per motion second).
    void pathAt(double tau, Sample* out) const;
    double progress() const;
    // Ends the running motion: an outcome, and the hold for the targets.
    void finish(MotionState state, Cause cause, int value);
    void outcome(uint64_t sequence, MotionKind kind, MotionState state, Cause cause, int value,
                 double progress);
    // The set-point a new motion starts from.
    Sample currentSetPoint() const;

    // Host to control thread.
    std::atomic<uint64_t> sequence_{0};
    realtime::TripleBuffer<Command> commands_;
    std::atomic<uint64_t> stop_sequence_{0};
    std::atomic<double> stop_deceleration_{0.0};
    std::atomic<Cause> stop_cause_{Cause::kNone};
    std::atomic<uint64_t> state_change_{0};
    std::atomic<int> state_change_value_{0};
    // Control thread to hosts.
    realtime::TripleBuffer<Report> reports_;
    realtime::SampleRing<Outcome, 64> outcomes_;

    // Control thread only.
    Active active_;
    Command pending_{};
    bool has_pending_ = false;
    uint64_t taken_ = 0;
    uint64_t stops_seen_ = 0;
    PathCommand path_{};
    bool path_out_ = false;
    Sample state_set_point_{};  // the state's set-point when no motion runs
    bool state_set_point_known_ = false;
    Joints measured_{};
    Hold hold_{};
    bool hold_ready_ = false;
    uint64_t cycles_ = 0;
};

}  // namespace qel::m4::motion
