// Motions in Python: move_j, move_l, follow_joint_trajectory, servo_j,
// stop_motion, motion_status and wait_motion on InterfacesPy, with the
// trajectory point and status records. Blocking calls wait without the GIL
// and look for signals while they wait: Ctrl-C stops the motion at its
// default deceleration and raises KeyboardInterrupt.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "arm_binding.hpp"
#include "int_enum.hpp"
#include "qel/motion/MotionTypes.hpp"

namespace py = pybind11;

namespace qel::python {
namespace {

using Values = std::vector<double>;
using m4::InterfacesPy;
using Clock = std::chrono::steady_clock;

// How long a blocking call waits between looks for a signal.
constexpr double kWaitSlice = 0.02;  // s

// Waits up to `timeout` s for the last motion to end, without the GIL,
// looking for signals every slice. True if it ended at its goal.
bool waitForMotion(InterfacesPy& arm, double timeout) {
    const bool forever = std::isinf(timeout);
    const Clock::time_point deadline =
        forever ? Clock::time_point::max()
                : Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    while (true) {
        double slice = kWaitSlice;
        if (!forever) {
            slice = std::min(slice, std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count()));
        }
        bool done = false;
        m4::MotionStatus status;
        {
            py::gil_scoped_release release;
            done = arm.wait_motion(slice);
            status = arm.motion_status();
        }
        if (done) return true;
        if (status.state != m4::MotionState::kMoving) return false;
        if (PyErr_CheckSignals() != 0) {
            {
                py::gil_scoped_release release;
                arm.stop_motion();
            }
            throw py::error_already_set();
        }
        if (Clock::now() >= deadline) return false;
    }
}

// A motion call: started without the GIL (planning may take a while), then,
// unless asynchronous, waited for as above.
bool motion(InterfacesPy& arm, bool asynchronous, const std::function<bool()>& start) {
    bool started = false;
    {
        py::gil_scoped_release release;
        started = start();
    }
    if (!started || asynchronous) return started;
    return waitForMotion(arm, std::numeric_limits<double>::infinity());
}

}  // namespace

void bindMotion(py::module_& m, py::class_<Arm>& cls) {
    py::object state = makeIntEnum(
        "MotionState",
        {{"IDLE", 0}, {"MOVING", 1}, {"DONE", 2}, {"STOPPED", 3}, {"REFUSED", 4}, {"ABORTED", 5}},
        "What the last motion request is doing, or how it ended: IDLE (none yet),\n"
        "MOVING, DONE (at its goal), STOPPED (by stop_motion), REFUSED (could not be\n"
        "done; nothing moved), ABORTED (a state change, damp_now, a fault or a newer\n"
        "motion ended it).");
    py::object kind = makeIntEnum(
        "MotionKind", {{"NONE", 0}, {"JOINT", 1}, {"LINE", 2}, {"TRAJECTORY", 3}, {"SERVO", 4}},
        "Which operation a MotionStatus is about: move_j, move_l,\n"
        "follow_joint_trajectory or servo_j.");
    m.attr("MotionState") = state;
    m.attr("MotionKind") = kind;
    py::object status_type = makeNamedTuple(
        "MotionStatus", {"state", "kind", "reason", "progress"},
        "The last motion request: state (MotionState), kind (MotionKind), reason (why\n"
        "it was refused, stopped or aborted; empty otherwise) and progress (share of\n"
        "its planned time elapsed, 0 to 1).");
    m.attr("MotionStatus") = status_type;

    py::class_<m4::TrajectoryPoint>(
        m, "TrajectoryPoint",
        "One time-stamped point of a joint trajectory: positions (six joints in rad,\n"
        "and optionally the gripper's target from its zero), optional velocities and\n"
        "accelerations (as many as positions, or empty), time_from_start in s.")
        .def(py::init([](Values positions, double time_from_start, Values velocities, Values accelerations) {
                 return m4::TrajectoryPoint{std::move(positions), std::move(velocities),
                                            std::move(accelerations), time_from_start};
             }),
             py::arg("positions"), py::arg("time_from_start"), py::kw_only(),
             py::arg("velocities") = Values{}, py::arg("accelerations") = Values{},
             "positions: six joint angles (rad), a seventh for the gripper; time_from_start:\n"
             "s from the start of the trajectory; velocities (rad/s), accelerations\n"
             "(rad/s²): empty, or as many as positions. Checked when the trajectory is\n"
             "given to follow_joint_trajectory.")
        .def_readwrite("positions", &m4::TrajectoryPoint::positions)
        .def_readwrite("velocities", &m4::TrajectoryPoint::velocities)
        .def_readwrite("accelerations", &m4::TrajectoryPoint::accelerations)
        .def_readwrite("time_from_start", &m4::TrajectoryPoint::time_from_start)
        .def("__repr__", [](const m4::TrajectoryPoint& p) {
            return "TrajectoryPoint(" + std::to_string(p.positions.size()) + " positions, time_from_start=" +
                   std::to_string(p.time_from_start) + ")";
        });

    cls.def(
        "move_j",
        [](Arm& self, const Values& q, double speed, double acceleration, bool asynchronous) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            return motion(arm, asynchronous, [&] { return arm.move_j(q, speed, acceleration, true); });
        },
        py::arg("q"), py::arg("speed"), py::arg("acceleration"), py::kw_only(), py::arg("asynchronous") = false,
        "Joint move to q (six joints in rad, and optionally the gripper's target):\n"
        "every joint on one trapezoidal profile, starting and arriving together;\n"
        "speed (rad/s, at most 3) and acceleration (rad/s², at most 30) of the joint\n"
        "with the longest way. Returns True once the arm has arrived (every joint\n"
        "within 0.02 rad and at rest), False if the move was refused (see\n"
        "motion_status()), stopped or aborted; asynchronous=True returns once it\n"
        "started. Raises ValueError for malformed input. Ctrl-C while waiting stops\n"
        "the move and raises KeyboardInterrupt.");
    cls.def(
        "move_l",
        [](Arm& self, const Values& pose, double speed, double acceleration, bool asynchronous) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            return motion(arm, asynchronous, [&] { return arm.move_l(pose, speed, acceleration, true); });
        },
        py::arg("pose"), py::arg("speed"), py::arg("acceleration"), py::kw_only(), py::arg("asynchronous") = false,
        "Straight-line move of the tool to pose [x, y, z, qw, qx, qy, qz] (as\n"
        "get_ee_pose gives it), the orientation turning on the shortest rotation;\n"
        "speed (m/s, at most 1) and acceleration (m/s², at most 10) along the path.\n"
        "The whole line is checked before the arm moves: one that leaves the reach\n"
        "or a joint's range is refused, saying where. Returns and raises as move_j.");
    cls.def(
        "follow_joint_trajectory",
        [](Arm& self, const std::vector<m4::TrajectoryPoint>& points, bool asynchronous) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            return motion(arm, asynchronous, [&] { return arm.follow_joint_trajectory(points, true); });
        },
        py::arg("points"), py::kw_only(), py::arg("asynchronous") = false,
        "Follows TrajectoryPoints (times from now, strictly increasing): cubic between\n"
        "points with velocities, quintic with accelerations, a smooth spline\n"
        "without; it joins the current set-point and its velocity without a step, so\n"
        "it may replace a running motion. A first point at time 0 must be within\n"
        "0.05 rad of the measured joints; the last must be at rest. Returns and\n"
        "raises as move_j.");
    cls.def(
        "servo_j",
        [](Arm& self, const Values& q, double time) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            py::gil_scoped_release release;
            return arm.servo_j(q, time);
        },
        py::arg("q"), py::arg("time"),
        "Streaming, never blocks: reach q (six joints, optionally the gripper) time\n"
        "seconds after the control cycle that takes it (whole 5 ms cycles, at least\n"
        "one), moving on at the stream's velocity. Call again within time + 5 ms to\n"
        "keep the stream going; after that the arm brakes to rest within 3 mrad and\n"
        "holds. Returns False (see motion_status()) for a target it refuses: outside\n"
        "the limits, more than 10 s ahead, or moving a joint faster than 3 rad/s.\n"
        "Raises ValueError for malformed input.");
    cls.def(
        "stop_motion",
        [](Arm& self, std::optional<double> deceleration) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            py::gil_scoped_release release;
            if (deceleration) {
                arm.stop_motion(*deceleration);
            } else {
                arm.stop_motion();
            }
        },
        py::arg("deceleration") = py::none(),
        "Decelerates the running motion along its path and holds: deceleration in\n"
        "rad/s² of the fastest joint (m/s² along the path for move_l); None: a move's\n"
        "own acceleration, 5 rad/s² for a trajectory; a stream brakes to rest within\n"
        "3 mrad.");
    cls.def(
        "motion_status",
        [status_type, state, kind](Arm& self) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            m4::MotionStatus status;
            {
                py::gil_scoped_release release;
                status = arm.motion_status();
            }
            return status_type(state(static_cast<int>(status.state)), kind(static_cast<int>(status.kind)),
                               status.reason, status.progress);
        },
        "The last motion request as a MotionStatus.");
    cls.def(
        "wait_motion",
        [](Arm& self, std::optional<double> timeout) {
            const double seconds = timeout ? *timeout : std::numeric_limits<double>::infinity();
            if (std::isnan(seconds) || seconds < 0.0) {
                throw std::invalid_argument("wait_motion: the time-out must be a number of seconds, not negative");
            }
            const std::shared_ptr<InterfacesPy> held = self.share();
            return waitForMotion(*held, seconds);
        },
        py::arg("timeout") = py::none(),
        "Waits up to timeout seconds (None: for ever) for the last motion to end:\n"
        "True at its goal, False if stopped, refused, aborted or still running.\n"
        "Ctrl-C stops the motion and raises KeyboardInterrupt.");
}

}  // namespace qel::python
