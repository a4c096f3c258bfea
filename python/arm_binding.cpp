// The controller in Python: InterfacesPy with the operations a host needs to
// run the arm (the plain-number interface's own, plus error codes, payload,
// gripper torque and action, joint status, the pose as a matrix, the fault
// latch and an immediate stop), the control states as an IntEnum, and the
// real-time settings.
#include "arm_binding.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "qel/controller/ArmErrors.hpp"
#include "qel/controller/ControllerOptions.hpp"
#include "qel/interfaces/InterfacesPy.hpp"
#include "int_enum.hpp"

namespace py = pybind11;

namespace qel::python {
namespace {

using Values = std::vector<double>;
using m4::InterfacesPy;

// How often a construction in progress looks for Ctrl-C.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// A list of floats, or a numpy array when the caller asked for one.
py::object values(const Values& v, bool as_array) {
    if (!as_array) return py::cast(v);
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return std::move(out);
}

}  // namespace

Arm::Arm(const std::string& urdf_path, const std::string& can_name, int type,
         const m4::RealtimeOptions* realtime) {
    m4::ControllerOptions options;
    if (realtime != nullptr) options.realtime = *realtime;
    options.cancel = std::make_shared<m4::StartupCancel>();
    std::unique_ptr<InterfacesPy> built;
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            built = std::make_unique<InterfacesPy>(urdf_path, can_name, type, options);
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
    });
    bool interrupted = false;
    while (!done) {
        {
            py::gil_scoped_release release;
            std::this_thread::sleep_for(kSignalPoll);
        }
        if (!done && PyErr_CheckSignals() != 0) {
            interrupted = true;
            options.cancel->cancel();
            break;
        }
    }
    {
        py::gil_scoped_release release;
        worker.join();
        // Finished just before the signal: stopped all the same, as the
        // host asked.
        if (interrupted) built.reset();
    }
    if (interrupted) throw py::error_already_set();
    if (failure) std::rethrow_exception(failure);
    arm_ = std::shared_ptr<InterfacesPy>(std::move(built));
}

Arm::~Arm() { close(); }

void Arm::close() {
    std::shared_ptr<InterfacesPy> last = std::move(arm_);
    if (!last) return;
    auto release = [&last] {
        // Calls in flight on other threads hold references of their own.
        while (last.use_count() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        last.reset();
    };
    if (PyGILState_Check()) {
        py::gil_scoped_release unlocked;
        release();
    } else {
        release();
    }
}

InterfacesPy& Arm::get() { return *share(); }

std::shared_ptr<InterfacesPy> Arm::share() {
    if (!arm_) throw std::runtime_error("the arm interface is closed");
    return arm_;
}

namespace {

// The library's setters report refused input as false; Python callers get a
// ValueError saying what was expected.
bool accepted(bool ok, const char* expectation) {
    if (!ok) throw std::invalid_argument(expectation);
    return true;
}

// Binds a getter that takes no argument and returns a vector of doubles, as a
// list or, with as_array=True, a numpy array.
template <typename Getter>
void bindGetter(py::class_<Arm>& cls, const char* name, Getter getter, const char* doc) {
    cls.def(
        name,
        [getter](Arm& self, bool as_array) {
            const std::shared_ptr<InterfacesPy> arm = self.share();
            Values v;
            {
                py::gil_scoped_release release;
                v = ((*arm).*getter)();
            }
            return values(v, as_array);
        },
        py::kw_only(), py::arg("as_array") = false, doc);
}

m4::ThreadSettings::Policy parsePolicy(const std::string& name) {
    using Policy = m4::ThreadSettings::Policy;
    if (name == "inherit") return Policy::kInherit;
    if (name == "other") return Policy::kOther;
    if (name == "fifo") return Policy::kFifo;
    if (name == "round_robin") return Policy::kRoundRobin;
    throw std::invalid_argument("policy must be 'inherit', 'other', 'fifo' or 'round_robin', not '" +
                                name + "'");
}

const char* policyName(m4::ThreadSettings::Policy policy) {
    using Policy = m4::ThreadSettings::Policy;
    switch (policy) {
        case Policy::kOther:
            return "other";
        case Policy::kFifo:
            return "fifo";
        case Policy::kRoundRobin:
            return "round_robin";
        default:
            return "inherit";
    }
}

void bindRealtime(py::module_& m) {
    py::class_<m4::ThreadSettings>(m, "ThreadSettings",
                                   "Scheduling of one of the library's threads. The defaults change\n"
                                   "nothing: the thread keeps what the constructing thread has.")
        .def(py::init([](const std::string& policy, int priority, std::vector<int> cpus,
                         long timer_slack_ns) {
                 m4::ThreadSettings s;
                 s.policy = parsePolicy(policy);
                 s.priority = priority;
                 s.cpus = std::move(cpus);
                 s.timer_slack_ns = timer_slack_ns;
                 return s;
             }),
             py::kw_only(), py::arg("policy") = "inherit", py::arg("priority") = 0,
             py::arg("cpus") = std::vector<int>{}, py::arg("timer_slack_ns") = -1,
             "policy: 'inherit', 'other', 'fifo' or 'round_robin' (ValueError otherwise);\n"
             "priority: 1 to 99 for 'fifo' and 'round_robin'; cpus: CPU numbers to pin\n"
             "to (empty: no pinning); timer_slack_ns: the thread's timer slack in ns\n"
             "(negative: unchanged).")
        .def_property(
            "policy", [](const m4::ThreadSettings& s) { return policyName(s.policy); },
            [](m4::ThreadSettings& s, const std::string& p) { s.policy = parsePolicy(p); },
            "'inherit', 'other', 'fifo' or 'round_robin'.")
        .def_readwrite("priority", &m4::ThreadSettings::priority, "1 to 99 for the real-time policies.")
        .def_readwrite("cpus", &m4::ThreadSettings::cpus, "CPU numbers to pin to; empty: no pinning.")
        .def_readwrite("timer_slack_ns", &m4::ThreadSettings::timer_slack_ns,
                       "Timer slack in ns; negative: unchanged.")
        .def("__repr__", [](const m4::ThreadSettings& s) {
            std::string cpus;
            for (int c : s.cpus) cpus += (cpus.empty() ? "" : ", ") + std::to_string(c);
            return std::string("ThreadSettings(policy='") + policyName(s.policy) +
                   "', priority=" + std::to_string(s.priority) + ", cpus=[" + cpus +
                   "], timer_slack_ns=" + std::to_string(s.timer_slack_ns) + ")";
        });

    py::class_<m4::RealtimeOptions>(
        m, "RealtimeOptions",
        "Real-time settings for a real arm (see docs/realtime.md): the control\n"
        "thread, the CAN receive thread and the pose-search thread, memory locking,\n"
        "and what a refused setting does.")
        .def(py::init([](const m4::ThreadSettings& control, const m4::ThreadSettings& receive,
                         const m4::ThreadSettings& search, bool lock_memory, long spin_ns,
                         const std::string& on_refusal) {
                 m4::RealtimeOptions o;
                 o.control = control;
                 o.receive = receive;
                 o.search = search;
                 o.lock_memory = lock_memory;
                 if (spin_ns < 0) throw std::invalid_argument("spin_ns must not be negative");
                 o.spin_ns = spin_ns;
                 if (on_refusal == "warn") {
                     o.on_refusal = m4::OnRefusal::kWarn;
                 } else if (on_refusal == "raise") {
                     o.on_refusal = m4::OnRefusal::kThrow;
                 } else {
                     throw std::invalid_argument("on_refusal must be 'warn' or 'raise', not '" +
                                                 on_refusal + "'");
                 }
                 return o;
             }),
             py::kw_only(), py::arg("control") = m4::ThreadSettings{},
             py::arg("receive") = m4::ThreadSettings{}, py::arg("search") = m4::ThreadSettings{},
             py::arg("lock_memory") = false, py::arg("spin_ns") = 0, py::arg("on_refusal") = "warn",
             "control, receive, search: ThreadSettings of the three threads; lock_memory:\n"
             "mlockall before the threads start; spin_ns: spin this long before each\n"
             "deadline instead of sleeping (0: sleep); on_refusal: 'warn' (one warning,\n"
             "run without the setting) or 'raise' (RuntimeError from the constructor).")
        .def_readwrite("control", &m4::RealtimeOptions::control)
        .def_readwrite("receive", &m4::RealtimeOptions::receive)
        .def_readwrite("search", &m4::RealtimeOptions::search)
        .def_readwrite("lock_memory", &m4::RealtimeOptions::lock_memory)
        .def_readwrite("spin_ns", &m4::RealtimeOptions::spin_ns);
}

// A recording's status as the RecordingStatus named tuple.
py::object statusTuple(const recording::RecordingStatus& s) {
    return py::module_::import("qel_m4").attr("RecordingStatus")(s.active, s.path, s.written, s.lost, s.error);
}

// Binds a recording operation that returns its status, called without the
// GIL (stopping writes the rest of the file).
template <typename Method>
void bindStatus(py::class_<Arm>& cls, const char* name, Method method, const char* doc) {
    cls.def(
        name,
        [method](Arm& self) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            recording::RecordingStatus status;
            {
                py::gil_scoped_release release;
                status = (arm.*method)();
            }
            return statusTuple(status);
        },
        doc);
}

// A str or an os.PathLike as the path it names.
std::string pathText(const py::object& path) {
    return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

void bindRecording(py::module_& m) {
    py::object status = py::module_::import("collections").attr("namedtuple")(
        "RecordingStatus", py::make_tuple("active", "path", "written", "lost", "error"));
    status.attr("__module__") = "qel_m4";
    status.attr("__doc__") =
        "The running recording, or the last one once stopped: active (the file is\n"
        "being written), path ('' before the first), written (control cycles in\n"
        "it), lost (cycles missing between the first and the last written: the\n"
        "recorder fell more than about five seconds behind; they are gaps in\n"
        "'cycle'), error (why it ended by itself or could not be completed; '' if\n"
        "it did not).";
    m.attr("RecordingStatus") = status;
    m.def(
        "read_recording",
        [](const py::object& path) {
            return py::module_::import("qel_m4_recording").attr("read")(path);
        },
        py::arg("path"),
        "Reads an HDF5 recording (start_recording, a fault dump) into numpy arrays:\n"
        "a qel_m4_recording.Recording with one array per dataset ('cycle',\n"
        "'measured/position', ...), their units and the file's attributes. Needs\n"
        "h5py (Debian: python3-h5py). See docs/recording.md.");
}

void bindStates(py::module_& m) {
    m.attr("State") = makeIntEnum(
        "State",
        {{"SOFT", 0}, {"GO_HOME", 1}, {"PROTECT", 2}, {"G_COMPENSATION", 3}, {"END_CONTROL", 4},
         {"POSITION_CONTROL", 5}},
        "Control states for InterfacesPy.set_arm_status: SOFT (limp), GO_HOME (drive\n"
        "to all-zero joints), PROTECT (damped, no stiffness), G_COMPENSATION (gravity\n"
        "torque only), END_CONTROL (follow the pose target), POSITION_CONTROL (follow\n"
        "the joint targets).");
}

void bindArm(py::module_& m) {
    py::object joint_status = makeNamedTuple(
        "JointStatus", {"position", "velocity", "torque", "current"},
        "One motor's latest measurement: position (rad; the gripper in its motor's\n"
        "unit, raw, not from its zero), velocity (rad/s), torque (always 0.0: the\n"
        "motors do not report it), current (the motor's current units).");
    m.attr("JointStatus") = joint_status;

    py::class_<Arm> cls(
        m, "InterfacesPy",
        "The arm's controller with plain numbers. Construction opens the CAN\n"
        "interface, enables the motors, homes the arm and calibrates the gripper\n"
        "(at least 3.55 s, without holding the GIL; Ctrl-C cancels it) and starts the\n"
        "200 Hz control thread; close() (or leaving a with-block, or deletion) stops\n"
        "it and damps the motors.\n\n"
        "Joint vectors have seven entries: arm joints 1 to 6 (rad, rad/s) and the\n"
        "gripper (its motor's position unit, measured from its calibrated zero at the\n"
        "end stop). Poses are [x, y, z, qw, qx, qy, qz] or [x, y, z, roll, pitch, yaw]:\n"
        "positions in m relative to the tool position at all-zero joints, axes of\n"
        "the base frame, rotation Rz(yaw)·Ry(pitch)·Rx(roll) about the fixed axes.\n"
        "Getters return lists, or numpy arrays with as_array=True; setters take any\n"
        "sequence of numbers (lists, tuples, numpy arrays). Refused input raises\n"
        "ValueError and changes nothing.");
    cls.def(py::init([](const std::string& urdf_path, const std::string& can_name, int type,
                        const m4::RealtimeOptions* realtime) {
                return std::make_unique<Arm>(urdf_path, can_name, type, realtime);
            }),
            py::arg("urdf_path"), py::arg("can_name"), py::arg("type"), py::kw_only(),
            py::arg("realtime") = nullptr,
            "urdf_path: robot description file; can_name: SocketCAN interface (up and\n"
            "configured, e.g. 'can0'); type: robot variant (stored, unused); realtime:\n"
            "optional RealtimeOptions. Raises RuntimeError if the description cannot be\n"
            "used, the bus cannot be opened, another controller drives the arm, no arm\n"
            "motor answers, homing fails, or a refused real-time setting was asked to\n"
            "raise. Ctrl-C during construction damps the arm and raises\n"
            "KeyboardInterrupt at once.")
        .def("close", &Arm::close, "Stops the control thread, damps the motors and closes the bus.")
        .def("__enter__", [](Arm& self) -> Arm& { return self; }, py::return_value_policy::reference)
        .def("__exit__", [](Arm& self, py::args) { self.close(); });

    bindGetter(cls, "get_joint_positions", &InterfacesPy::get_joint_positions,
               "Seven positions: arm joints in rad, the gripper from its calibrated zero\n"
               "(its motor's unit), as measured in the latest control cycle.");
    bindGetter(cls, "get_joint_velocities", &InterfacesPy::get_joint_velocities,
               "Seven velocities: arm joints in rad/s, the gripper in its unit per second.");
    bindGetter(cls, "get_joint_currents", &InterfacesPy::get_joint_currents,
               "Seven motor currents in the motors' own current units (range -18 to 18;\n"
               "over-current is above 13 for one second).");
    bindGetter(cls, "get_ee_pose", &InterfacesPy::get_ee_pose,
               "Measured pose [x, y, z (m), qw, qx, qy, qz]; position relative to the tool\n"
               "position at all-zero joints.");
    bindGetter(cls, "get_ee_pose_xyzrpy", &InterfacesPy::get_ee_pose_xyzrpy,
               "Measured pose [x, y, z (m), roll, pitch, yaw (rad)], rotation\n"
               "Rz(yaw)·Ry(pitch)·Rx(roll) about the fixed base axes.");
    cls.def(
        "get_ee_pose_matrix",
        [](Arm& self, bool as_array) -> py::object {
            const std::shared_ptr<InterfacesPy> arm = self.share();
            Values flat;
            {
                py::gil_scoped_release release;
                flat = arm->get_ee_pose_matrix();
            }
            if (as_array) {
                py::array_t<double> out({4, 4});
                std::copy(flat.begin(), flat.end(), out.mutable_data());
                return std::move(out);
            }
            py::list rows;
            for (int r = 0; r < 4; ++r) {
                rows.append(py::cast(Values(flat.begin() + 4 * r, flat.begin() + 4 * r + 4)));
            }
            return std::move(rows);
        },
        py::kw_only(), py::arg("as_array") = false,
        "Measured pose as a 4x4 homogeneous transform (rows; translation in m in\n"
        "the last column, relative to the tool position at all-zero joints).");
    cls.def(
        "get_joint_status",
        [joint_status](Arm& self, bool as_array) -> py::object {
            const std::shared_ptr<InterfacesPy> arm = self.share();
            std::vector<hw_interface::HybridJointStatus> status;
            {
                py::gil_scoped_release release;
                status = arm->get_joint_status();
            }
            if (as_array) {
                py::array_t<double> out({static_cast<py::ssize_t>(status.size()), py::ssize_t{4}});
                auto a = out.mutable_unchecked<2>();
                for (std::size_t i = 0; i < status.size(); ++i) {
                    const auto n = static_cast<py::ssize_t>(i);
                    a(n, 0) = status[i].position;
                    a(n, 1) = status[i].velocity;
                    a(n, 2) = status[i].torque;
                    a(n, 3) = status[i].current;
                }
                return std::move(out);
            }
            py::list out;
            for (const auto& s : status) {
                out.append(joint_status(s.position, s.velocity, s.torque, s.current));
            }
            return std::move(out);
        },
        py::kw_only(), py::arg("as_array") = false,
        "Seven JointStatus records (position, velocity, torque, current) with raw\n"
        "motor positions (the gripper not from its zero); as_array=True gives a 7x4\n"
        "array in that column order.");

    cls.def(
        "set_arm_status",
        [](Arm& self, int state) { return self.get().set_arm_status(state); }, py::arg("state"),
        "Control state (a State or 0 to 5) from the next cycle on; other values\n"
        "damp the arm. Also resumes after a latched fault or damp_now(), forgetting\n"
        "only the fault the latch was for; a damp_now() made before is acted on\n"
        "first (code 5, damped for at least a cycle). Returns True.");
    cls.def(
        "set_ee_pose",
        [](Arm& self, const Values& pose) {
            return accepted(self.get().set_ee_pose(pose),
                            "set_ee_pose: expected seven finite values [x, y, z, qw, qx, qy, qz] "
                            "with a non-zero quaternion");
        },
        py::arg("pose"),
        "Pose target [x, y, z (m), qw, qx, qy, qz] for END_CONTROL; the quaternion is\n"
        "normalised. Targets are clamped to the workspace box (x 0 to 0.53 m, y and z\n"
        "within 0.53 m); an unreachable one is replaced by the furthest reachable point\n"
        "on the line from the measured pose. Raises ValueError for other input.");
    cls.def(
        "set_joint_positions",
        [](Arm& self, const Values& positions) {
            return accepted(self.get().set_joint_positions(positions),
                            "set_joint_positions: expected at least six finite joint positions");
        },
        py::arg("positions"),
        "Joint targets (rad) for POSITION_CONTROL from entries 0 to 5 (clamped to the\n"
        "joint limits); a seventh is ignored. Raises ValueError for fewer than six\n"
        "or non-finite values.");
    cls.def(
        "set_catch",
        [](Arm& self, double position) {
            return accepted(self.get().set_catch(position),
                            "set_catch: the gripper position must be finite");
        },
        py::arg("position"),
        "Gripper position mode with this target (its motor's unit, from the\n"
        "calibrated zero; 0 presses closed). Raises ValueError for a non-finite value.");
    cls.def(
        "set_catch_torque",
        [](Arm& self, double current) {
            return accepted(self.get().set_catch_torque(current),
                            "set_catch_torque: the gripper current must be finite");
        },
        py::arg("current"),
        "Gripper torque mode with this current (the motor's units, limited to -2..2\n"
        "by the controller). Raises ValueError for a non-finite value.");
    cls.def(
        "set_catch_action_fast", [](Arm& self) { self.get().set_catch_action_fast(); },
        "The gripper motor closes its own position loop on the position target.");
    cls.def(
        "set_catch_action_slow", [](Arm& self) { self.get().set_catch_action_slow(); },
        "The gripper is current-driven towards its target (the default).");
    cls.def(
        "set_end_effector_mass",
        [](Arm& self, double kg) {
            return accepted(self.get().set_end_effector_mass(kg),
                            "set_end_effector_mass: the mass must be finite and not negative");
        },
        py::arg("kg"),
        "Payload in kg at the flange, for gravity compensation in every state; the\n"
        "last call alone counts. Raises ValueError for a negative or non-finite mass.");
    cls.def(
        "qel_x",
        [](Arm& self, double qel1, double qel2, double qel3) { self.get().qel_x(qel1, qel2, qel3); },
        py::arg("qel1"), py::arg("qel2"), py::arg("qel3"),
        "Interpolation limits in thousandths: acceleration qel1 / 1000 (clamped to 0\n"
        "to 0.5), velocity qel2 / 1000 (clamped to 0 to 2 rad/s); qel3 is ignored.\n"
        "Raises ValueError for a non-finite value.");

    cls.def(
        "damp_now", [](Arm& self) { self.get().damp_now(); },
        "Damps the arm from the next control cycle on and keeps it damped (error\n"
        "code 5, latched) until a later set_arm_status. Safe from any thread; never\n"
        "lost to a state set after it.");
    cls.def(
        "fault_latched", [](Arm& self) { return self.get().fault_latched(); },
        "True while a fault (or damp_now) holds the arm damped.");
    cls.def(
        "latched_fault",
        [](Arm& self) -> py::object {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            if (!arm.fault_latched()) return py::none();
            return py::make_tuple(arm.latched_fault_code(), arm.latched_fault_message());
        },
        "(code, message) of the latched fault, or None: code 1 over-current,\n"
        "3 another controller on the bus, 4 failure on the control thread,\n"
        "5 damp_now, 10*n + (c - 5) motor n reports fault code c.");
    cls.def(
        "get_error_code",
        [](Arm& self) {
            const std::shared_ptr<InterfacesPy> arm = self.share();
            std::vector<int> codes;
            {
                py::gil_scoped_release release;
                codes = arm->get_error_code();
            }
            return codes;
        },
        "The pending error codes, oldest first, emptying the list: 1 over-current,\n"
        "2 bus offline, 3 another controller, 4 failure on the control thread,\n"
        "5 damp_now, 10*n + 2 joint n offline, 10*n + (c - 5) motor n reports fault\n"
        "code c (n = 7 is the gripper). See docs/faults.md for what to do.");

    cls.def(
        "start_recording",
        [](Arm& self, const py::object& path, const std::string& format) {
            // Held for the call: a close() meanwhile waits for it.
            const std::shared_ptr<InterfacesPy> held = self.share();
            InterfacesPy& arm = *held;
            const std::string file = pathText(path);
            py::gil_scoped_release release;
            arm.start_recording(file, format);
        },
        py::arg("path"), py::arg("format") = "hdf5",
        "Records every control cycle from now on into `path` (replaced if it\n"
        "exists) until stop_recording: format 'hdf5' (read it back with\n"
        "read_recording) or 'csv'. The control thread never waits for the file;\n"
        "cycles the recorder could not keep up with are counted as lost. Raises\n"
        "ValueError for an empty path, another format or a recording already\n"
        "running, RuntimeError if the file cannot be created. See docs/recording.md.");
    bindStatus(cls, "stop_recording", &InterfacesPy::stop_recording,
        "Writes every cycle run so far, completes the file and returns its\n"
        "RecordingStatus (cycles written and lost, error); with no recording\n"
        "running, the last one's.");
    bindStatus(cls, "recording_status", &InterfacesPy::recording_status,
        "The running recording's RecordingStatus, or the last one's. A file that\n"
        "cannot be written stops its recording: active False, error set.");
    cls.def(
        "set_fault_dump_folder",
        [](Arm& self, const py::object& folder) {
            self.get().set_fault_dump_folder(folder.is_none() ? std::string() : pathText(folder));
        },
        py::arg("folder"),
        "When a fault latches, the last two seconds of cycles (always kept in\n"
        "memory) go to a new HDF5 file in `folder`, fault-<UTC time>-cycle<number>.h5;\n"
        "None or '' switches this off (the default). Raises ValueError if `folder`\n"
        "is not an existing, writable folder.");
    cls.def(
        "last_fault_dump",
        [](Arm& self) -> py::object {
            const std::string path = self.get().last_fault_dump();
            if (path.empty()) return py::none();
            return py::str(path);
        },
        "The path of the last fault dump written, or None.");
    bindMotion(m, cls);
}

}  // namespace

// The arm's failures as Python exceptions, one class per cause under
// ArmError, itself a RuntimeError. Registered root first: the latest
// registration is tried first, so every subclass is matched before its root.
void bindErrors(py::module_& m) {
    auto& root = py::register_exception<m4::ArmError>(m, "ArmError", PyExc_RuntimeError);
    root.doc() = "A failure of the arm (a RuntimeError); the subclasses tell the causes apart.";
    struct Cause {
        const char* name;
        const char* doc;
    };
    const auto bind = [&](auto tag, const Cause& cause) {
        using Error = typename decltype(tag)::type;
        py::register_exception<Error>(m, cause.name, root.ptr()).doc() = cause.doc;
    };
    bind(std::common_type<m4::BusOpenError>{},
         {"BusOpenError", "The CAN interface cannot be opened; nothing was sent."});
    bind(std::common_type<m4::NoMotorAnswerError>{},
         {"NoMotorAnswerError", "No arm motor answered after being enabled; the arm is damped."});
    bind(std::common_type<m4::OtherCommanderError>{},
         {"OtherCommanderError", "Another controller commands the arm; this one does not start."});
    bind(std::common_type<m4::HomingTimeoutError>{},
         {"HomingTimeoutError", "Homing did not complete within 30 s; the arm is damped."});
    bind(std::common_type<m4::StartupCancelledError>{},
         {"StartupCancelledError", "Start-up was cancelled; the arm is damped."});
    bind(std::common_type<m4::OverCurrentError>{},
         {"OverCurrentError", "Sustained over-current while homing; the arm is damped."});
    bind(std::common_type<m4::MotorFaultError>{},
         {"MotorFaultError", "A motor reported a fault; the arm is damped."});
}

void bindController(py::module_& m) {
    bindErrors(m);
    bindRecording(m);
    bindStates(m);
    bindRealtime(m);
    bindArm(m);
}

}  // namespace qel::python
