// Python bindings: the controller interface with plain lists, the kinematics
// tools and the analytic functions. Rejected input raises ValueError, a
// failed construction or solve RuntimeError with the library's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "qel/interfaces/InterfaceToolsPy.hpp"
#include "qel/interfaces/InterfacesPy.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"
#include "qel/solver/vanteq.hpp"
#include "output_binding.hpp"

namespace py = pybind11;

namespace {

using Values = std::vector<double>;

// Checks a list argument before any of it reaches the library.
void requireFinite(const Values& values, size_t count, const char* what) {
    if (values.size() != count) {
        throw std::invalid_argument(std::string(what) + ": expected " + std::to_string(count) +
                                    " values, got " + std::to_string(values.size()));
    }
    for (double v : values) {
        if (!std::isfinite(v)) throw std::invalid_argument(std::string(what) + ": values must be finite");
    }
}

Values l5Fk(const Values& joints) {
    requireFinite(joints, 6, "l5_fk joints");
    Values pose(6);
    qel::solve::l5_fk(joints.data(), pose.data());
    return pose;
}

Values l5IkLm(const Values& seed, Values target) {
    requireFinite(seed, 6, "l5_ik_lm seed");
    requireFinite(target, 6, "l5_ik_lm target");
    Values joints(6);
    qel::solve::l5_ik_lm(seed.data(), target.data(), joints.data());
    return joints;
}

Values l5GetTau(const Values& joints, int type) {
    requireFinite(joints, 6, "l5_get_Tau joints");
    return qel::solve::l5_get_Tau(joints.data(), type);
}

void bindKinematics(py::module_& m) {
    m.def("l5_fk", &l5Fk, py::arg("joints"),
          "Tool pose [x, y, z (m), roll, pitch, yaw (rad)] of six host-convention joint\n"
          "angles (rad), by the single-precision analytic kinematics; positions are\n"
          "relative to the tool position at all-zero angles.");
    m.def("l5_ik_lm", &l5IkLm, py::arg("seed"), py::arg("target"),
          "Six host-convention joint angles (rad) that bring the tool to `target`\n"
          "[x, y, z, roll, pitch, yaw], searched from `seed` by damped least squares.\n"
          "A negative target x counts as 0. For an unreachable target the best\n"
          "angles found are returned.");
    m.def("l5_get_Tau", &l5GetTau, py::arg("joints"), py::arg("type"),
          "Static gravity torques of the six joints at host-convention angles `joints`\n"
          "by the closed-form model; `type` 0 or 1 selects the last link's mass.\n"
          "Raises ValueError for any other type.");

    py::class_<qel::KinematicSolver>(m, "KinematicSolver",
          "Forward and inverse kinematics over the arm's compiled-in robot description.\n"
          "Poses are [x, y, z (m, relative to the zero pose), roll, pitch, yaw (rad)].")
        .def(py::init<>(), "Builds the solver and resets the shared inverse-kinematics seed.")
        .def("computeForwardKinematics",
             [](qel::KinematicSolver& self, const Values& joints) {
                 requireFinite(joints, 6, "computeForwardKinematics joints");
                 Values in = joints, pose(6);
                 self.computeForwardKinematics(in.data(), pose.data());
                 return pose;
             },
             py::arg("joints"), "Pose of six joint angles (rad).")
        .def("computeInverseKinematics",
             [](qel::KinematicSolver& self, const Values& pose) {
                 requireFinite(pose, 6, "computeInverseKinematics pose");
                 Values in = pose, joints(6);
                 self.computeInverseKinematics(in.data(), joints.data());
                 return joints;
             },
             py::arg("pose"),
             "Six joint angles (rad) reaching `pose`, searched from the last solution.\n"
             "Raises RuntimeError when no solution is found.");

    py::class_<qel::m4::InterfacesToolsPy>(m, "InterfacesToolsPy",
          "Forward kinematics for hosts without a controller.")
        .def(py::init<int>(), py::arg("flag"), "flag: the robot variant number.")
        .def("forward_kinematics_rpy",
             [](qel::m4::InterfacesToolsPy& self, const Values& joints) {
                 if (joints.size() < 6) {
                     throw std::invalid_argument("forward_kinematics_rpy: expected six joint angles");
                 }
                 requireFinite(Values(joints.begin(), joints.begin() + 6), 6,
                               "forward_kinematics_rpy joints");
                 return self.forward_kinematics_rpy(joints);
             },
             py::arg("joint_pos"),
             "Tool pose [x, y, z (m), roll, pitch, yaw (rad)] of the arm joint angles\n"
             "joint_pos[0..5] (rad); a seventh entry (the gripper) is ignored.");
}

// How often a construction in progress looks for Ctrl-C.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

// Owns the controller so that it can be shut down explicitly (close(), or the
// end of a with-block) and always without holding the GIL: stopping the
// control thread takes about a second, and other Python threads must not
// stall meanwhile.
class Arm {
public:
    // Start-up takes seconds. It runs on a worker thread without the GIL
    // while this thread looks for signals: Ctrl-C cancels the start-up (the
    // arm is damped) and raises KeyboardInterrupt within a few cycles,
    // instead of after homing.
    Arm(const std::string& urdf_path, const std::string& can_name, int type) {
        qel::m4::ControllerOptions options;
        options.cancel = std::make_shared<qel::m4::StartupCancel>();
        std::unique_ptr<qel::m4::InterfacesPy> built;
        std::exception_ptr failure;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            try {
                built = std::make_unique<qel::m4::InterfacesPy>(urdf_path, can_name, type, options);
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
        arm_ = std::move(built);
    }
    ~Arm() { close(); }

    void close() {
        if (!arm_) return;
        if (PyGILState_Check()) {
            py::gil_scoped_release release;
            arm_.reset();
        } else {
            arm_.reset();
        }
    }

    qel::m4::InterfacesPy& get() {
        if (!arm_) throw std::runtime_error("the arm interface is closed");
        return *arm_;
    }

private:
    std::unique_ptr<qel::m4::InterfacesPy> arm_;
};

// The library's setters report refused input as false; Python callers get a
// ValueError saying what was expected.
bool accepted(bool ok, const char* expectation) {
    if (!ok) throw std::invalid_argument(expectation);
    return true;
}

// Binds a getter that takes no argument and returns a list of floats.
template <typename Getter>
void bindGetter(py::class_<Arm>& cls, const char* name, Getter getter, const char* doc) {
    cls.def(name, [getter](Arm& self) {
        qel::m4::InterfacesPy& arm = self.get();
        py::gil_scoped_release release;
        return (arm.*getter)();
    }, doc);
}

void bindController(py::module_& m) {
    py::class_<Arm> cls(m, "InterfacesPy",
        "The arm's controller with plain numbers. Construction opens the CAN\n"
        "interface, enables the motors, homes the arm and calibrates the gripper\n"
        "(at least 3.55 s, without holding the GIL) and starts the 200 Hz control\n"
        "thread; close() (or leaving a with-block, or deletion) stops it and damps\n"
        "the motors. Poses are [x, y, z, qw, qx, qy, qz] or [x, y, z, roll, pitch,\n"
        "yaw]; positions in m relative to the zero pose, angles in rad.\n"
        "States for set_arm_status: 0 soft, 1 go home, 2 protect, 3 gravity\n"
        "compensation, 4 end-effector control, 5 joint position control.");
    cls.def(py::init<const std::string&, const std::string&, int>(), py::arg("urdf_path"),
            py::arg("can_name"), py::arg("type"),
            "urdf_path: robot description file; can_name: SocketCAN interface (up);\n"
            "type: robot variant. Raises RuntimeError if the description cannot be\n"
            "used, the bus cannot be opened, another controller drives the arm, no\n"
            "arm motor answers or homing fails. Ctrl-C during construction damps the\n"
            "arm and raises KeyboardInterrupt at once.")
        .def("close", &Arm::close, "Stops the control thread, damps the motors and closes the bus.")
        .def("__enter__", [](Arm& self) -> Arm& { return self; }, py::return_value_policy::reference)
        .def("__exit__", [](Arm& self, py::args) { self.close(); });
    using qel::m4::InterfacesPy;
    bindGetter(cls, "get_joint_positions", &InterfacesPy::get_joint_positions,
               "Seven positions: joints in rad, the gripper from its calibrated zero.");
    bindGetter(cls, "get_joint_velocities", &InterfacesPy::get_joint_velocities, "Seven velocities.");
    bindGetter(cls, "get_joint_currents", &InterfacesPy::get_joint_currents, "Seven motor currents.");
    bindGetter(cls, "get_ee_pose", &InterfacesPy::get_ee_pose,
               "Measured pose [x, y, z, qw, qx, qy, qz].");
    bindGetter(cls, "get_ee_pose_xyzrpy", &InterfacesPy::get_ee_pose_xyzrpy,
               "Measured pose [x, y, z, roll, pitch, yaw].");
    cls.def("set_arm_status", [](Arm& self, int state) { return self.get().set_arm_status(state); },
            py::arg("state"),
            "Control state 0 to 5 from the next cycle on (other values damp the arm);\n"
            "also resumes after a latched fault or damp_now(). Returns True.");
    cls.def("damp_now", [](Arm& self) { self.get().damp_now(); },
            "Damps the arm from the next control cycle on and keeps it damped (error\n"
            "code 5, latched) until set_arm_status.");
    cls.def("fault_latched", [](Arm& self) { return self.get().fault_latched(); },
            "True while a fault (or damp_now) holds the arm damped.");
    cls.def("latched_fault",
            [](Arm& self) -> py::object {
                qel::m4::InterfacesPy& arm = self.get();
                if (!arm.fault_latched()) return py::none();
                return py::make_tuple(arm.latched_fault_code(), arm.latched_fault_message());
            },
            "(code, message) of the latched fault, or None: code 1 over-current,\n"
            "3 another controller on the bus, 4 failure on the control thread,\n"
            "5 damp_now, 10*n + (c - 5) motor n reports fault code c.");
    cls.def("get_error_code",
            [](Arm& self) {
                qel::m4::InterfacesPy& arm = self.get();
                py::gil_scoped_release release;
                return arm.get_error_code();
            },
            "The pending error codes, oldest first, emptying the list: 1 over-current,\n"
            "2 bus offline, 3 another controller, 4 failure on the control thread,\n"
            "5 damp_now, 10*n + 2 joint n offline, 10*n + (c - 5) motor n fault code c.");
    cls.def("set_ee_pose",
            [](Arm& self, const Values& pose) {
                return accepted(self.get().set_ee_pose(pose),
                                "set_ee_pose: expected seven finite values [x, y, z, qw, qx, qy, qz] "
                                "with a non-zero quaternion");
            },
            py::arg("pose"),
            "Pose target [x, y, z, qw, qx, qy, qz] for end-effector control; the\n"
            "quaternion is normalised. Raises ValueError for other input.");
    cls.def("set_joint_positions",
            [](Arm& self, const Values& positions) {
                return accepted(self.get().set_joint_positions(positions),
                                "set_joint_positions: expected at least six finite joint positions");
            },
            py::arg("positions"),
            "Joint targets (rad) for position control from entries 0 to 5; a seventh\n"
            "is ignored. Raises ValueError for fewer than six or non-finite values.");
    cls.def("set_catch",
            [](Arm& self, double position) {
                return accepted(self.get().set_catch(position),
                                "set_catch: the gripper position must be finite");
            },
            py::arg("position"),
            "Gripper position mode with this target (from the calibrated zero).\n"
            "Raises ValueError for a non-finite value.");
    cls.def("qel_x",
            [](Arm& self, double qel1, double qel2, double qel3) { self.get().qel_x(qel1, qel2, qel3); },
            py::arg("qel1"), py::arg("qel2"), py::arg("qel3"),
            "Interpolation limits in thousandths: acceleration qel1 / 1000 (0 to 0.5),\n"
            "velocity qel2 / 1000 (0 to 2 rad/s); qel3 is ignored. Raises ValueError\n"
            "for a non-finite value.");
}

}  // namespace

PYBIND11_MODULE(qel_m4, m) {
    m.doc() = "Control and kinematics of the six-joint arm with a gripper.";
    bindKinematics(m);
    bindController(m);
    qel::python::bindOutput(m);
}
