#include "qel/motion/MotionPlan.hpp"

#include <algorithm>
#include <cmath>

namespace qel::m4::motion {

void CubicMove::set(const Sample& from, const Sample& to, double duration) {
    duration_ = duration;
    end_ = to;
    for (std::size_t i = 0; i < kAxes; ++i) {
        axes_[i].SetProfileDuration(from.position[i], from.velocity[i], to.position[i],
                                    to.velocity[i], duration);
    }
}

void CubicMove::sample(double t, Sample* out) const {
    // Motion time is a sum of cycles: the end is reached when it is within
    // rounding of it, and then exactly (a stream's target is met to the bit).
    if (t >= duration_ * (1 - 1e-12)) {
        *out = end_;
        return;
    }
    const double clamped = std::clamp(t, 0.0, duration_);
    for (std::size_t i = 0; i < kAxes; ++i) {
        out->position[i] = axes_[i].Pos(clamped);
        out->velocity[i] = axes_[i].Vel(clamped);
    }
}

void CubicMove::extremes(std::size_t i, double* lowest, double* highest, double* fastest) const {
    const KDL::VelocityProfile_Spline& cubic = axes_[i];
    const double T = duration_;
    *lowest = std::min(cubic.Pos(0.0), cubic.Pos(T));
    *highest = std::max(cubic.Pos(0.0), cubic.Pos(T));
    *fastest = std::max(std::fabs(cubic.Vel(0.0)), std::fabs(cubic.Vel(T)));
    // The acceleration of a cubic is linear: from its ends follow the
    // instant of the extreme speed and the instants where the motion turns.
    const double a0 = cubic.Acc(0.0);
    const double jerk = (cubic.Acc(T) - a0) / T;
    const double v0 = cubic.Vel(0.0);
    auto consider = [&](double t) {
        if (!(t > 0.0 && t < T)) return;
        *lowest = std::min(*lowest, cubic.Pos(t));
        *highest = std::max(*highest, cubic.Pos(t));
        *fastest = std::max(*fastest, std::fabs(cubic.Vel(t)));
    };
    if (jerk != 0.0) consider(-a0 / jerk);
    // v0 + a0·t + jerk·t²/2 = 0
    if (jerk == 0.0) {
        if (a0 != 0.0) consider(-v0 / a0);
    } else {
        const double discriminant = a0 * a0 - 2.0 * jerk * v0;
        if (discriminant >= 0.0) {
            const double root = std::sqrt(discriminant);
            consider((-a0 + root) / jerk);
            consider((-a0 - root) / jerk);
        }
    }
}

JointMovePlan::JointMovePlan(const Joints& start, const Joints& goal, bool has_gripper,
                             double speed, double acceleration)
    : MotionPlan(MotionKind::kJoint, has_gripper), profile_(speed, acceleration), length_(0.0) {
    start_ = start;
    goal_ = goal;
    for (std::size_t i = 0; i < kArmJoints; ++i) length_ = std::max(length_, std::fabs(goal[i] - start[i]));
    profile_.SetProfile(0.0, length_);
    duration_ = profile_.Duration();
    default_deceleration_ = acceleration;
}

void JointMovePlan::progress(double t, double* share, double* rate) const {
    if (length_ <= 0.0) {
        *share = 1.0;
        *rate = 0.0;
        return;
    }
    const double clamped = std::clamp(t, 0.0, duration_);
    *share = profile_.Pos(clamped) / length_;
    *rate = t > 0.0 && t < duration_ ? profile_.Vel(clamped) / length_ : 0.0;
}

void JointMovePlan::sample(double t, Sample* out) const {
    if (t >= duration_) {
        // Exactly the goal: start + (goal - start) need not round to it.
        out->position = goal_;
        out->velocity = Joints{};
        return;
    }
    double share = 0.0;
    double rate = 0.0;
    progress(t, &share, &rate);
    for (std::size_t i = 0; i < kAxes; ++i) {
        const double way = goal_[i] - start_[i];
        out->position[i] = start_[i] + way * share;
        out->velocity[i] = way * rate;
    }
}

LineMovePlan::LineMovePlan(std::vector<Joints> positions, const KDL::VelocityProfile_Trap& profile,
                           double length, double acceleration)
    : MotionPlan(MotionKind::kLine, false),
      positions_(std::move(positions)),
      velocities_(positions_.size()),
      profile_(profile),
      length_(length) {
    duration_ = profile_.Duration();
    start_ = positions_.front();
    goal_ = positions_.back();
    stop_unit_ = StopUnit::kTool;
    default_deceleration_ = acceleration;
    // Central differences, second order in the cycle; the line starts and
    // ends at rest.
    for (std::size_t n = 1; n + 1 < positions_.size(); ++n) {
        const double span = timeOf(n + 1) - timeOf(n - 1);
        for (std::size_t i = 0; i < kAxes; ++i) {
            velocities_[n][i] = (positions_[n + 1][i] - positions_[n - 1][i]) / span;
        }
    }
}

double LineMovePlan::timeOf(std::size_t n) const {
    return std::min(static_cast<double>(n) * kCycleSeconds, duration_);
}

void LineMovePlan::sample(double t, Sample* out) const {
    const std::size_t last = positions_.size() - 1;
    if (t <= 0.0 || t >= duration_ || last == 0) {
        out->position = t <= 0.0 ? positions_.front() : positions_.back();
        out->velocity = Joints{};
        return;
    }
    const std::size_t n = std::min(static_cast<std::size_t>(t / kCycleSeconds), last - 1);
    const double t0 = timeOf(n);
    const double h = timeOf(n + 1) - t0;
    const double s = std::clamp((t - t0) / h, 0.0, 1.0);
    // Cubic Hermite basis and its derivative on [0, 1].
    const double s2 = s * s;
    const double s3 = s2 * s;
    const double h00 = 2 * s3 - 3 * s2 + 1;
    const double h10 = s3 - 2 * s2 + s;
    const double h01 = -2 * s3 + 3 * s2;
    const double h11 = s3 - s2;
    const double d00 = (6 * s2 - 6 * s) / h;
    const double d10 = 3 * s2 - 4 * s + 1;
    const double d01 = (-6 * s2 + 6 * s) / h;
    const double d11 = 3 * s2 - 2 * s;
    for (std::size_t i = 0; i < kAxes; ++i) {
        const double p0 = positions_[n][i];
        const double p1 = positions_[n + 1][i];
        const double v0 = velocities_[n][i];
        const double v1 = velocities_[n + 1][i];
        out->position[i] = h00 * p0 + h10 * h * v0 + h01 * p1 + h11 * h * v1;
        out->velocity[i] = d00 * p0 + d10 * v0 + d01 * p1 + d11 * v1;
    }
}

void LineMovePlan::progress(double t, double* share, double* rate) const {
    if (length_ <= 0.0) {
        *share = 1.0;
        *rate = 0.0;
        return;
    }
    const double clamped = std::clamp(t, 0.0, duration_);
    *share = profile_.Pos(clamped) / length_;
    *rate = t > 0.0 && t < duration_ ? profile_.Vel(clamped) / length_ : 0.0;
}

double LineMovePlan::toolSpeed(double t) const {
    return t > 0.0 && t < duration_ ? std::fabs(profile_.Vel(t)) : 0.0;
}

TrajectoryPlan::TrajectoryPlan(std::vector<Piece> pieces, double anchor_time, const Sample& anchor,
                               const Joints& goal, bool has_gripper)
    : MotionPlan(MotionKind::kTrajectory, has_gripper), pieces_(std::move(pieces)) {
    join_ = Join::kLeadIn;
    anchor_time_ = anchor_time;
    anchor_ = anchor;
    goal_ = goal;
    duration_ = pieces_.empty() ? anchor_time : pieces_.back().end;
}

void TrajectoryPlan::sample(double t, Sample* out) const {
    if (t <= anchor_time_) {
        *out = anchor_;
        return;
    }
    if (t >= duration_) {
        out->position = goal_;
        out->velocity = Joints{};
        return;
    }
    // The piece whose end is the first at or after t.
    const auto piece = std::lower_bound(pieces_.begin(), pieces_.end(), t,
                                        [](const Piece& p, double time) { return p.end < time; });
    const double local = t - piece->begin;
    for (std::size_t i = 0; i < kAxes; ++i) {
        out->position[i] = piece->axes[i].Pos(local);
        out->velocity[i] = piece->axes[i].Vel(local);
    }
}

void TrajectoryPlan::progress(double t, double* share, double* rate) const {
    *share = duration_ > 0.0 ? std::clamp(t / duration_, 0.0, 1.0) : 1.0;
    *rate = duration_ > 0.0 && t < duration_ ? 1.0 / duration_ : 0.0;
}

}  // namespace qel::m4::motion
