#pragma once

// The plan a motion becomes: its set-points as a function of its own time,
// built on the host thread that asked for it (MotionPlanner) and sampled by
// the control thread (MotionExecutor). Sampling is arithmetic only: no
// allocation, no lock, no solver.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <kdl/velocityprofile_spline.hpp>
#include <kdl/velocityprofile_trap.hpp>

#include "qel/motion/MotionLimits.hpp"
#include "qel/motion/MotionTypes.hpp"

namespace qel::m4::motion {

// Six arm joints (rad) and the gripper (its motor's unit, from its zero).
using Joints = std::array<double, kAxes>;

// One set-point: positions and velocities (per second).
struct Sample {
    Joints position{};
    Joints velocity{};
};

// The cubic from one set-point to another in a given time, on every axis:
// a trajectory's lead-in and each servo target. Sampling allocates nothing.
class CubicMove {
public:
    // From `from` at 0 to `to` at `duration` (> 0).
    void set(const Sample& from, const Sample& to, double duration);
    double duration() const { return duration_; }
    // Clamped to [0, duration()]; from the end on exactly `to`.
    void sample(double t, Sample* out) const;
    // Over the whole cubic, on axis `i`: the lowest and highest position and
    // the largest speed.
    void extremes(std::size_t i, double* lowest, double* highest, double* fastest) const;

private:
    std::array<KDL::VelocityProfile_Spline, kAxes> axes_;
    double duration_ = 0.0;
    Sample end_{};
};

class MotionPlan {
public:
    // How the executor joins a plan to the set-point it finds when it starts
    // it.
    enum class Join {
        // Planned from start() at rest (moves): the set-point there must be at
        // rest and within kStartDrift of it; the executor fades the small
        // difference out along the plan's progress, so the goal stays exact.
        kFromRest,
        // Planned for any start (trajectories): a cubic from the set-point
        // and its velocity reaches anchor() at anchorTime(), where the plan
        // takes over.
        kLeadIn,
    };
    // What stopMotion's deceleration is measured on.
    enum class StopUnit {
        kJoint,  // rad/s² of the fastest joint
        kTool,   // m/s² along the tool's path
    };

    virtual ~MotionPlan() = default;
    MotionPlan(const MotionPlan&) = delete;
    MotionPlan& operator=(const MotionPlan&) = delete;

    MotionKind kind() const { return kind_; }
    // Whether the plan drives the gripper (index 6) too.
    bool hasGripper() const { return has_gripper_; }
    double duration() const { return duration_; }
    Join join() const { return join_; }
    // kFromRest: where the plan starts.
    const Joints& start() const { return start_; }
    // kLeadIn: where and when the plan proper starts.
    double anchorTime() const { return anchor_time_; }
    const Sample& anchor() const { return anchor_; }
    // The last set-point, at rest.
    const Joints& goal() const { return goal_; }
    StopUnit stopUnit() const { return stop_unit_; }
    // stopMotion() without a deceleration, in stopUnit().
    double defaultDeceleration() const { return default_deceleration_; }

    // The set-point at plan time t (s from the plan's start): the start
    // before 0, the goal at rest from duration() on. For kLeadIn plans, t
    // below anchorTime() is the executor's and gives the anchor.
    virtual void sample(double t, Sample* out) const = 0;
    // Share of the path covered at t (0 to 1) and its rate (1/s); used to
    // fade a start drift out (kFromRest plans).
    virtual void progress(double t, double* share, double* rate) const = 0;
    // The tool's speed along its path at t (m/s); 0 for joint-space plans.
    virtual double toolSpeed(double /*t*/) const { return 0.0; }

protected:
    MotionPlan(MotionKind kind, bool has_gripper) : kind_(kind), has_gripper_(has_gripper) {}

    MotionKind kind_;
    bool has_gripper_;
    double duration_ = 0.0;
    Join join_ = Join::kFromRest;
    Joints start_{};
    double anchor_time_ = 0.0;
    Sample anchor_{};
    Joints goal_{};
    StopUnit stop_unit_ = StopUnit::kJoint;
    double default_deceleration_ = kTrajectoryStopDeceleration;
};

// moveJ: all joints on the straight line in joint space from start to goal,
// one trapezoidal profile along it whose speed and acceleration are those of
// the joint with the longest way. Every joint therefore starts, cruises and
// arrives at the same instants, at speeds in proportion to its way. (KDL's
// trapezoid is one-dimensional; scaling it along the line is what makes it
// the time-synchronised profile of all joints.)
class JointMovePlan final : public MotionPlan {
public:
    // `speed` and `acceleration` > 0 (rad/s, rad/s²), checked by the planner.
    JointMovePlan(const Joints& start, const Joints& goal, bool has_gripper, double speed,
                  double acceleration);
    void sample(double t, Sample* out) const override;
    void progress(double t, double* share, double* rate) const override;

private:
    KDL::VelocityProfile_Trap profile_;
    double length_;  // rad, the longest joint way
};

// moveL: one set-point per cycle, each the inverse kinematics of that
// cycle's pose on the line (solved by the planner), with velocities from the
// neighbouring set-points. Between table entries (only a stop samples there)
// the set-point is the cubic through the two entries and their velocities.
class LineMovePlan final : public MotionPlan {
public:
    // `positions[n]` is the set-point at min(n·kCycleSeconds, duration);
    // positions[0] is the start. `profile` is the path profile (0 to
    // `length`, in metres of tool path) the poses were taken along.
    LineMovePlan(std::vector<Joints> positions, const KDL::VelocityProfile_Trap& profile,
                 double length, double acceleration);
    void sample(double t, Sample* out) const override;
    void progress(double t, double* share, double* rate) const override;
    double toolSpeed(double t) const override;
    const std::vector<Joints>& positions() const { return positions_; }

private:
    double timeOf(std::size_t n) const;

    std::vector<Joints> positions_;
    std::vector<Joints> velocities_;
    KDL::VelocityProfile_Trap profile_;
    double length_;
};

// followJointTrajectory: cubic pieces through the points (quintic where the
// points carry accelerations), from the anchor on; the executor leads in
// from the set-point it takes over.
class TrajectoryPlan final : public MotionPlan {
public:
    // One piece between two consecutive points.
    struct Piece {
        double begin;  // s, plan time of its first point
        double end;
        std::array<KDL::VelocityProfile_Spline, kAxes> axes;
    };
    // `pieces` cover [anchor_time, duration] without gaps, in order; `anchor`
    // is the set-point at anchor_time (the first piece's start).
    TrajectoryPlan(std::vector<Piece> pieces, double anchor_time, const Sample& anchor,
                   const Joints& goal, bool has_gripper);
    void sample(double t, Sample* out) const override;
    void progress(double t, double* share, double* rate) const override;

private:
    std::vector<Piece> pieces_;
};

}  // namespace qel::m4::motion
