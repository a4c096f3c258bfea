#include "qel/teaching/Replay.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "qel/controller/ControlLaw.hpp"
#include "qel/motion/MotionPlanner.hpp"
#include "qel/motion/SampledPath.hpp"
#include "qel/recording/CycleSample.hpp"
#include "qel/recording/Hdf5File.hpp"

namespace qel::m4 {
namespace {

constexpr const char* kFormat = "qel_m4 cycle recording";
constexpr int kGravityCompensation = 3;
// How often runReplay looks at the motion and the stop request.
constexpr double kPollSeconds = 0.01;
// Waiting for a stopped motion to come to rest: far more than any stop from
// the joints' speed limit takes.
constexpr double kStopWaitSeconds = 10.0;

std::string format(const char* pattern, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b, c, d);
    return text;
}

std::string axisName(std::size_t i) {
    return i == control::kGripper ? std::string("the gripper") : "joint " + std::to_string(i + 1);
}

// The columns of a cycle recording that a replay needs, rows first.
struct Recorded {
    int variant = 0;
    std::size_t rows = 0;
    std::vector<double> cycle;
    std::vector<int64_t> start_ns;  // each cycle's start, monotonic clock
    std::vector<double> state;
    std::vector<double> latched;
    std::vector<double> position;  // kMotors per row
};

Recorded readRecording(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) {
        throw ReplayRefused("cannot read the recording '" + path + "': " + std::strerror(errno));
    }
    const std::string file_name = "the recording '" + path + "'";
    try {
        const recording::Hdf5Input file(path);
        std::string format_name;
        double version = 0.0;
        double variant = 0.0;
        Recorded r;
        if (!file.attribute("format", &format_name) || format_name != kFormat ||
            !file.attribute("format_version", &version)) {
            throw ReplayRefused("'" + path + "' is not a cycle recording (its format attribute is not \"" + kFormat +
                                "\")");
        }
        if (version != 1.0) {
            throw ReplayRefused(file_name + format(" has format version %g; this library reads version 1", version));
        }
        if (!file.attribute("robot_variant", &variant)) {
            throw ReplayRefused(file_name + " does not say which robot variant recorded it");
        }
        r.variant = static_cast<int>(variant);
        std::vector<std::size_t> shape;
        r.cycle = file.read("cycle", &shape);
        r.rows = shape.empty() ? 0 : shape[0];
        auto column = [&](const char* name, std::size_t width) {
            std::vector<double> values = file.read(name, &shape);
            const std::size_t got = shape.size() == 1 ? 1 : (shape.size() == 2 ? shape[1] : 0);
            if (shape.empty() || shape[0] != r.rows || got != width) {
                throw ReplayRefused(file_name + " has a dataset '" + name + "' of another shape than a recording's");
            }
            return values;
        };
        r.start_ns = file.readIntegers("time/monotonic_ns", &shape);
        if (shape.size() != 1 || shape[0] != r.rows) {
            throw ReplayRefused(file_name + " has a dataset 'time/monotonic_ns' of another shape than a recording's");
        }
        r.state = column("state", 1);
        r.latched = column("fault_latched", 1);
        r.position = column("measured/position", recording::kMotors);
        return r;
    } catch (const ReplayRefused&) {
        throw;
    } catch (const std::runtime_error& error) {
        throw ReplayRefused("cannot use " + file_name + ": " + error.what());
    }
}

// The rows to replay: [first, end).
void taughtSpan(const Recorded& r, std::size_t* first, std::size_t* end) {
    std::size_t stop = 0;
    while (stop < r.rows && r.latched[stop] == 0.0) ++stop;
    std::size_t a = stop;
    std::size_t b = 0;
    for (std::size_t k = 0; k < stop; ++k) {
        if (r.state[k] != kGravityCompensation) continue;
        a = std::min(a, k);
        b = k + 1;
    }
    *first = a < stop ? a : 0;
    *end = a < stop ? b : stop;
}

// The limits a replayed sample must keep: the controller's own.
double lowerLimit(std::size_t i) { return control::kMotorLayout[i].lower; }
double upperLimit(std::size_t i) { return control::kMotorLayout[i].upper; }
double slack(std::size_t i) { return i == control::kGripper ? kReplayGripperSlack : kReplayLimitSlack; }

}  // namespace

ReplayPlan planReplay(const std::string& path, const ReplayOptions& options) {
    motion::requirePositive(options.speed, "planReplay: the speed");
    motion::requirePositive(options.tolerance, "planReplay: the tolerance");
    const Recorded r = readRecording(path);
    const std::string file_name = "the recording '" + path + "'";
    if (r.variant != options.robot_variant) {
        throw ReplayRefused(file_name + " comes from robot variant " + std::to_string(r.variant) +
                            "; this arm is variant " + std::to_string(options.robot_variant));
    }
    std::size_t first = 0;
    std::size_t end = 0;
    taughtSpan(r, &first, &end);
    if (end < first + 2) {
        throw ReplayRefused(file_name + " has " + std::to_string(end - first) +
                            " cycle(s) to replay before any latched fault; it takes at least two");
    }

    ReplayPlan plan;
    std::vector<double> times;
    std::vector<std::vector<double>> samples;
    // The first sample to leave a limit, and the furthest any goes beyond it.
    struct Excursion {
        std::size_t axis = recording::kMotors;
        std::size_t row = 0;
        double worst = 0.0;
        double value = 0.0;
        std::size_t worst_row = 0;
    } out;
    for (std::size_t k = first; k < end; ++k) {
        std::vector<double> q(r.position.begin() + k * recording::kMotors,
                              r.position.begin() + (k + 1) * recording::kMotors);
        for (std::size_t i = 0; i < recording::kMotors; ++i) {
            const double beyond = std::max(lowerLimit(i) - q[i], q[i] - upperLimit(i));
            if (!std::isfinite(q[i]) || beyond > slack(i)) {
                if (out.axis == recording::kMotors) {
                    out.axis = i;
                    out.row = k;
                }
                if (i == out.axis && !(beyond <= out.worst)) {
                    out.worst = beyond;
                    out.value = q[i];
                    out.worst_row = k;
                }
            } else if (beyond > 0.0) {
                q[i] = std::clamp(q[i], lowerLimit(i), upperLimit(i));
                ++plan.clamped;
            }
        }
        times.push_back(static_cast<double>(r.start_ns[k] - r.start_ns[first]) * 1e-9);
        samples.push_back(std::move(q));
    }
    if (out.axis != recording::kMotors) {
        const std::size_t i = out.axis;
        const double when = times[out.row - first];
        const double worst_when = times[out.worst_row - first];
        throw ReplayRefused(file_name + " leaves the limits: " + axisName(i) +
                            format(" (range %.4g to %.4g) is outside them from %.3f s", lowerLimit(i),
                                   upperLimit(i), when) +
                            " (cycle " + std::to_string(static_cast<uint64_t>(r.cycle[out.row])) + ")" +
                            format(", at worst %.4g, %.4g beyond its limit, at %.3f s", out.value, out.worst,
                                   worst_when));
    }
    ReducedPath reduced;
    try {
        reduced = reduceSampledPath(times, samples, options.tolerance);
    } catch (const std::invalid_argument& error) {
        // Cycle start times that stand still or run back: not a recording.
        throw ReplayRefused(file_name + " cannot be replayed: " + error.what());
    }
    plan.first_posture = samples.front();
    plan.points = scaleTrajectoryTime(std::move(reduced.points), options.speed);
    for (TrajectoryPoint& point : plan.points) point.time_from_start += kReplaySettle;
    plan.points.insert(plan.points.begin(), plan.points.front());
    plan.points.front().time_from_start = 0.0;
    plan.samples = samples.size();
    plan.first_cycle = static_cast<uint64_t>(r.cycle[first]);
    plan.last_cycle = static_cast<uint64_t>(r.cycle[end - 1]);
    plan.duration_s = plan.points.back().time_from_start;
    plan.deviation = reduced.deviation;
    return plan;
}

namespace {

// Waits for the running motion to end, or for `stop`; stops it then. The
// outcome of the motion.
ReplayResult finish(InterfacesThread& arm, const std::function<bool()>& stop) {
    ReplayResult result;
    while (true) {
        if (stop && stop()) {
            arm.stopMotion();
            arm.waitMotion(kStopWaitSeconds);
            result.outcome = ReplayOutcome::kStopped;
            result.reason = arm.motionStatus().reason;
            return result;
        }
        if (arm.waitMotion(kPollSeconds)) return result;
        const MotionStatus status = arm.motionStatus();
        // Arrived just after the wait gave up: done all the same.
        if (status.state == MotionState::kDone) return result;
        if (status.state == MotionState::kMoving) continue;
        result.outcome = status.state == MotionState::kRefused ? ReplayOutcome::kRefused : ReplayOutcome::kFailed;
        result.reason = status.reason;
        return result;
    }
}

ReplayResult refused(InterfacesThread& arm) {
    return ReplayResult{ReplayOutcome::kRefused, arm.motionStatus().reason};
}

}  // namespace

ReplayResult runReplay(InterfacesThread& arm, const ReplayPlan& plan, const std::function<bool()>& stop,
                       const std::function<void(ReplayPhase)>& on_phase) {
    if (on_phase) on_phase(ReplayPhase::kApproach);
    if (!arm.moveJ(plan.first_posture, kReplayApproachSpeed, kReplayApproachAcceleration, true)) return refused(arm);
    ReplayResult result = finish(arm, stop);
    if (result.outcome != ReplayOutcome::kDone) return result;
    if (on_phase) on_phase(ReplayPhase::kFollow);
    if (!arm.followJointTrajectory(plan.points, true)) return refused(arm);
    return finish(arm, stop);
}

}  // namespace qel::m4
