#include "qel/solver/Interpolation.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "qel/solver/Exercise.hpp"

namespace qel::solve {

namespace {

// Not 1/frequency: the arm was tuned with this step, so at 200 calls per second
// a joint moves at six times the commanded speed.
constexpr float kUpdateInterval = 0.03f;  // s per call

void require_finite(double value, const char* function, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(function) + ": " + name +
                                    " must be a finite number");
    }
}

// Square root taken in double of the float radicand, as the profile was tuned.
// A radicand that single-precision rounding pushes just below zero at the
// boundary of the acceleration curve is the speed 0 it stands for.
float profile_sqrt(float radicand) {
    if (radicand < 0.0f) radicand = 0.0f;
    return static_cast<float>(std::sqrt(static_cast<double>(radicand)));
}

}  // namespace

void Interpolation(const double* get_pos, double* temp_pos, double* send_vel, double max_acc,
                   double max_vel, double frequency) {
    (void)frequency;
    constexpr const char* kName = "Interpolation";
    const float target_pos = static_cast<float>(*get_pos);
    float current_pos = static_cast<float>(*temp_pos);
    const float acc = static_cast<float>(max_acc);
    const float dec = acc;
    const float max_speed = static_cast<float>(max_vel);
    // Checked after rounding: a double beyond the float range is as unusable
    // here as an infinite one.
    require_finite(target_pos, kName, "target position");
    require_finite(current_pos, kName, "commanded position");
    require_finite(acc, kName, "max_acc");
    require_finite(max_speed, kName, "max_vel");
    if (acc < 0.0f || max_speed < 0.0f) {
        throw std::invalid_argument("Interpolation: max_acc and max_vel must not be negative");
    }

    const float distance = target_pos - current_pos;
    float speed = 0.0f;
    if (acc == 0.0f || max_speed == 0.0f) {
        // A zero limit (which the controller's settings admit) means no motion;
        // the profile would otherwise divide zero by zero.
        speed = distance > 0.0f ? 0.0f : -0.0f;
    } else {
        const float acc_distance = max_speed * max_speed / (2.0f * acc);
        const float dec_distance = max_speed * max_speed / (2.0f * dec);
        if (distance > 0.0f) {
            if (distance < acc_distance) {
                speed = profile_sqrt(2.0f * acc * distance);
            } else if (distance > acc_distance + dec_distance) {
                speed = max_speed;
            } else {
                speed = profile_sqrt(max_speed * max_speed -
                                     (distance - acc_distance) * 2.0f * dec);
            }
        } else {
            // fabs keeps the speed at the target a negative zero, the same
            // sign as every other step of this branch.
            const float D = std::fabs(distance);
            if (D < dec_distance) {
                speed = -profile_sqrt(2.0f * dec * D);
            } else if (D > acc_distance + dec_distance) {
                speed = -max_speed;
            } else {
                speed = -profile_sqrt(max_speed * max_speed - (D - dec_distance) * 2.0f * acc);
            }
        }
    }
    current_pos = speed * kUpdateInterval + current_pos;
    if (!std::isfinite(speed) || !std::isfinite(current_pos)) {
        throw std::invalid_argument("Interpolation: limits too large, the step overflows");
    }
    *send_vel = speed;
    *temp_pos = current_pos;
}

void Linearinterpolation(double* temp_pos, double target, double ramp_k, double frequency) {
    constexpr const char* kName = "Linearinterpolation";
    require_finite(*temp_pos, kName, "position");
    require_finite(target, kName, "target");
    require_finite(ramp_k, kName, "ramp_k");
    require_finite(frequency, kName, "frequency");
    if (ramp_k < 0.0) {
        // A negative rate would walk away from the target for ever.
        throw std::invalid_argument("Linearinterpolation: ramp_k must not be negative");
    }
    if (frequency <= 0.0) {
        throw std::invalid_argument("Linearinterpolation: frequency must be positive");
    }
    const double delta = target - *temp_pos;
    const double step = ramp_k / frequency;
    if (std::fabs(step) >= std::fabs(delta)) {
        *temp_pos = target;
    } else if (delta > 0.0) {
        *temp_pos += step;
    } else {
        *temp_pos -= step;
    }
}

double TrapezoidalInterpolation(double now, double start, double target, double max_acc,
                                double max_vec, double frequency) {
    (void)frequency;
    constexpr const char* kName = "TrapezoidalInterpolation";
    require_finite(now, kName, "now");
    require_finite(start, kName, "start");
    require_finite(target, kName, "target");
    require_finite(max_acc, kName, "max_acc");
    require_finite(max_vec, kName, "max_vec");
    if (max_acc <= 0.0 || max_vec <= 0.0) {
        throw std::invalid_argument("TrapezoidalInterpolation: max_acc and max_vec must be positive");
    }
    const double span = target - start;
    require_finite(span, kName, "target - start");
    const double distance = std::fabs(span);
    const double direction = span < 0.0 ? -1.0 : 1.0;
    if (now <= 0.0) return start;

    // Ramp time and distance to reach max_vec; a move shorter than two ramps
    // never cruises and peaks below max_vec instead.
    double ramp_time = max_vec / max_acc;
    double ramp_distance = 0.5 * max_vec * ramp_time;
    double cruise_speed = max_vec;
    if (2.0 * ramp_distance > distance) {
        ramp_time = std::sqrt(distance / max_acc);
        ramp_distance = 0.5 * distance;
        cruise_speed = max_acc * ramp_time;
    }
    const double cruise_time = (distance - 2.0 * ramp_distance) / cruise_speed;
    const double total_time = 2.0 * ramp_time + cruise_time;
    if (!(now < total_time)) return target;

    double travelled;
    if (now < ramp_time) {
        travelled = 0.5 * max_acc * now * now;
    } else if (now < ramp_time + cruise_time) {
        travelled = ramp_distance + cruise_speed * (now - ramp_time);
    } else {
        const double left = total_time - now;
        travelled = distance - 0.5 * max_acc * left * left;
    }
    return start + direction * travelled;
}

namespace {

// Fixed twist of each joint, written out with exact 0 and ±1 entries so that
// no cosine of a rounded right angle leaks into the model.
enum class Twist { kPlus90, kZero, kMinus90 };

struct TorqueLink {
    double q_sign;    // model angle = offset + q_sign · host angle
    double offset;    // rad
    Twist twist;
    float p[3];       // origin of frame i-1 to frame i, in frame i (m)
    float mass;       // kg, point mass at the origin of frame i
    double out_sign;  // model torque direction to the arm's joint direction
};

constexpr TorqueLink kTorqueLinks[6] = {
    {1.0, 0.0, Twist::kPlus90, {0.02f, 0.0f, 0.0f}, 0.0f, 1.0},
    {-1.0, 3.1416, Twist::kZero, {0.264f, 0.0f, 0.0f}, 0.9f, -1.0},
    {1.0, -2.9015, Twist::kZero, {0.252f, 0.0f, 0.0f}, 0.75f, 1.0},
    {1.0, -0.24, Twist::kMinus90, {0.06775f, 0.0f, 0.03f}, 0.66f, 1.0},
    {-1.0, 1.5708, Twist::kPlus90, {0.0f, -0.03f, 0.0f}, 0.0f, -1.0},
    {1.0, 0.0, Twist::kZero, {0.0f, 0.0f, 0.0865f}, 0.0f, 1.0},
};
constexpr float kLastLinkMass[2] = {0.6f, 0.75f};  // kg, by arm type
constexpr float kGravity[3] = {0.0f, 0.0f, -9.81f};  // m/s², base frame
// Measured ratio between the real joint torques and this point-mass model.
constexpr float kModelToReal = 1.24f;

void joint_rotation(Twist twist, float theta, float R[3][3]) {
    const float c = static_cast<float>(std::cos(static_cast<double>(theta)));
    const float s = static_cast<float>(std::sin(static_cast<double>(theta)));
    switch (twist) {
        case Twist::kPlus90: {
            const float m[3][3] = {{c, 0, s}, {s, 0, -c}, {0, 1, 0}};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) R[i][j] = m[i][j];
            break;
        }
        case Twist::kZero: {
            const float m[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) R[i][j] = m[i][j];
            break;
        }
        case Twist::kMinus90: {
            const float m[3][3] = {{c, 0, -s}, {s, 0, c}, {0, -1, 0}};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) R[i][j] = m[i][j];
            break;
        }
    }
}

void cross(const float* u, const float* v, float* out) {
    out[0] = u[1] * v[2] - u[2] * v[1];
    out[1] = u[2] * v[0] - u[0] * v[2];
    out[2] = u[0] * v[1] - u[1] * v[0];
}

}  // namespace

std::vector<double> l5_get_Tau(const double* q_, int type) {
    if (type != 0 && type != 1) {
        throw std::invalid_argument("l5_get_Tau: type must be 0 or 1, got " +
                                    std::to_string(type));
    }
    float R[6][3][3];
    float g[6][3];
    float chain[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    for (int i = 0; i < 6; ++i) {
        const TorqueLink& link = kTorqueLinks[i];
        const float theta = static_cast<float>(link.offset + link.q_sign * q_[i]);
        joint_rotation(link.twist, theta, R[i]);
        float next[3][3], chain_t[3][3];
        R_dot_R(chain, R[i], next);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) chain[r][c] = next[r][c];
        R_trans(chain, chain_t);
        R_dot_P(chain_t, kGravity, g[i]);
    }

    // Backward recursion from the tool (no external load) to the base.
    float f[3] = {0, 0, 0}, n[3] = {0, 0, 0};
    float tau[6];
    for (int i = 5; i >= 0; --i) {
        const TorqueLink& link = kTorqueLinks[i];
        const float mass = i == 5 ? kLastLinkMass[type] : link.mass;
        float f_in[3], n_in[3], lever[3];
        if (i == 5) {
            for (int k = 0; k < 3; ++k) f_in[k] = f[k];
            for (int k = 0; k < 3; ++k) n_in[k] = n[k];
        } else {
            R_dot_P(R[i + 1], f, f_in);
            R_dot_P(R[i + 1], n, n_in);
        }
        for (int k = 0; k < 3; ++k) f[k] = -mass * g[i][k] + f_in[k];
        cross(link.p, f, lever);
        for (int k = 0; k < 3; ++k) n[k] = n_in[k] + lever[k];

        // Moment about the joint axis: z of frame i-1 seen from frame i.
        float Rt[3][3], axis[3];
        const float z[3] = {0.0f, 0.0f, 1.0f};
        R_trans(R[i], Rt);
        R_dot_P(Rt, z, axis);
        tau[i] = axis[0] * n[0] + axis[1] * n[1] + axis[2] * n[2];
    }

    std::vector<double> out(6);
    for (int i = 0; i < 6; ++i) {
        out[i] = static_cast<double>(tau[i]) *
                 (kTorqueLinks[i].out_sign * static_cast<double>(kModelToReal));
    }
    return out;
}

}  // namespace qel::solve
