#pragma once

// The end-effector target of pose control: the inverse kinematics of the
// clamped command, or, when the command cannot be reached, the furthest
// reachable point on the straight line from the measured pose towards it.
//
// An unreachable solve runs the solver's full 500 iterations (several
// milliseconds), and the search makes up to eleven of them, far more than a
// 5 ms control cycle can hold. The solver cannot be paused part-way without
// changing its answer, so instead of cutting the search into per-cycle slices
// it runs whole, on a thread of its own below the control thread, over a
// snapshot of the cycle's inputs (clamped command, measured joints as the seed
// of every solve, measured pose). The control cycle posts snapshots and takes
// answers without ever waiting: its own inverse-kinematics work is a copy in
// and a copy out, whatever the command. The answer is exactly what a search
// done inside the cycle would have given for that snapshot; it arrives a few
// cycles later, and the arm tracks the previous answer meanwhile.

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <string>

#include <kdl/jntarray.hpp>

#include "qel/realtime/ThreadSettings.hpp"
#include "qel/realtime/TripleBuffer.hpp"
#include "qel/solver/kinematic_dynamic_solver.hpp"

namespace qel::m4::control {

// What one end-effector cycle asks for. Poses are x, y, z (m), roll, pitch,
// yaw (rad), positions relative to the zero pose.
struct EndPoseRequest {
    double command[6];  // the command, already clamped to the workspace box
    double seed[6];     // measured joint angles (rad), the seed of every solve
    double from[6];     // measured pose, where the line to the command starts
};

bool sameRequest(const EndPoseRequest& a, const EndPoseRequest& b);

// The answer to one request.
struct EndPoseAnswer {
    uint64_t request = 0;  // which request (1, 2, ... in posting order)
    bool solved = false;   // false: neither the command nor any probe was reachable
    double joints[6] = {};
};

// Runs the solves of one request on a solver it does not own. Each rejected
// solve writes the solver's failure line as a repeated trace line, so hosts
// can fold them. Allocates nothing.
class EndPoseSolver {
public:
    explicit EndPoseSolver(KinematicDynamicSolver& solver);

    // One solve of `pose` from the six angles at `seed`; true with the angles
    // in `out`, false (with `out` unchanged) when the pose is not reachable.
    bool solvePose(const double* pose, const double* seed, KDL::JntArray& out);
    // The target of `request`: the command's solution, else the solution of
    // the furthest reachable probe of the line search. False, with `joints`
    // unchanged, when nothing was reachable.
    bool solve(const EndPoseRequest& request, double* joints);

private:
    KinematicDynamicSolver& solver_;
    KDL::JntArray seed_;
    KDL::JntArray result_;
};

// The search on its own thread, with its own solver (the control thread's
// solver keeps serving forward kinematics and gravity). post() and take() are
// for one thread only (the control thread) and never block.
class EndPoseSearchThread {
public:
    // Builds the solver from the robot description at `urdf_path` (throws the
    // solver's std::runtime_error) and starts the thread. What the system
    // refused of `settings` is in refusals().
    EndPoseSearchThread(const std::string& urdf_path, const realtime::ThreadSettings& settings);
    // Stops the thread; a solve in progress is finished first (at most a few
    // milliseconds per remaining solve of that request).
    ~EndPoseSearchThread();
    EndPoseSearchThread(const EndPoseSearchThread&) = delete;
    EndPoseSearchThread& operator=(const EndPoseSearchThread&) = delete;

    // Hands `request` to the search unless it equals the last one posted
    // (then the answer would be the same). Returns the id of the request the
    // search will answer next for this input.
    uint64_t post(const EndPoseRequest& request);
    // Forgets the last request, so that the next post is searched even if it
    // is the same.
    void forgetLast() { has_last_ = false; }
    // The newest answer not yet taken, if any.
    bool take(EndPoseAnswer* answer) { return answers_.take(answer); }
    // The id of the last request answered (0: none yet).
    uint64_t answered() const { return answered_.load(); }
    // What the system refused of the thread settings ("" if nothing).
    const std::string& refusals() const { return refusals_; }

private:
    static void* run(void* self);
    void loop();

    struct Posted {
        uint64_t id;
        EndPoseRequest request;
    };

    KinematicDynamicSolver solver_;
    EndPoseSolver search_;
    realtime::ThreadSettings settings_;
    realtime::TripleBuffer<Posted> requests_;
    realtime::TripleBuffer<EndPoseAnswer> answers_;
    sem_t wake_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> answered_{0};
    // Control thread only.
    uint64_t posted_ = 0;
    bool has_last_ = false;
    EndPoseRequest last_{};
    pthread_t thread_{};
    bool started_ = false;
    std::string refusals_;
};

}  // namespace qel::m4::control
