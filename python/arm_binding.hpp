#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "qel/controller/ControllerOptions.hpp"
#include "qel/interfaces/InterfacesPy.hpp"

namespace qel::python {

// Owns the controller so that it can be shut down explicitly (close(), or the
// end of a with-block) and always without holding the GIL: stopping the
// control thread takes about a second, and other Python threads must not
// stall meanwhile. A call that releases the GIL holds its own reference for
// its duration (share()), so that a close() from another thread meanwhile
// waits for it instead of freeing the controller under it.
class Arm {
public:
    // Start-up takes seconds. It runs on a worker thread without the GIL
    // while this thread looks for signals: Ctrl-C cancels the start-up (the
    // arm is damped) and raises KeyboardInterrupt within a few polls,
    // instead of after homing.
    Arm(const std::string& urdf_path, const std::string& can_name, int type,
        const m4::RealtimeOptions* realtime);
    ~Arm();
    void close();
    // For calls that keep the GIL. Throws std::runtime_error once closed.
    m4::InterfacesPy& get();
    // For calls that release the GIL: keep the result for the call's length.
    // Throws std::runtime_error once closed.
    std::shared_ptr<m4::InterfacesPy> share();

private:
    std::shared_ptr<m4::InterfacesPy> arm_;
};

// Adds the motion operations (move_j, move_l, follow_joint_trajectory,
// servo_j, stop_motion, motion_status, wait_motion) to `cls` and their
// records (TrajectoryPoint, MotionStatus, MotionState, MotionKind) to `m`.
void bindMotion(pybind11::module_& m, pybind11::class_<Arm>& cls);

// Adds InterfacesPy (the controller), State, JointStatus, ThreadSettings and
// RealtimeOptions to the module.
void bindController(pybind11::module_& m);

}  // namespace qel::python
