// Python bindings: the controller interface with plain lists, the kinematics
// tools and the analytic functions. Rejected input raises ValueError, a
// failed construction or solve RuntimeError with the library's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "qel/interfaces/InterfaceToolsPy.hpp"
#include "qel/solver/Exercise.hpp"
#include "qel/solver/Interpolation.hpp"
#include "qel/solver/vanteq.hpp"
#include "arm_binding.hpp"
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

}  // namespace

PYBIND11_MODULE(qel_m4, m) {
    m.doc() = "Control and kinematics of the six-joint arm with a gripper.";
    m.attr("__version__") = QEL_VERSION;
    bindKinematics(m);
    qel::python::bindController(m);
    qel::python::bindOutput(m);
}
