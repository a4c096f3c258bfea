#pragma once

#include <vector>

// Joint-space set-point generation and the closed-form gravity torque model.
namespace qel::solve {

// Advances the commanded position *temp_pos one control cycle towards *get_pos
// (rad) with a distance-driven speed profile: full speed max_vel (rad/s) far
// from the target, the braking curve sqrt(2·max_acc·remaining) near it. Writes
// the commanded speed to *send_vel and the new position to *temp_pos; each call
// moves by speed × 0.03. Computed in single precision. `frequency` is accepted
// and not used. A zero max_acc or max_vel holds the position (speed 0).
// Throws std::invalid_argument, writing nothing, for a non-finite position or
// limit, a negative limit, or values so large that the step overflows.
void Interpolation(const double* get_pos, double* temp_pos, double* send_vel, double max_acc,
                   double max_vel, double frequency);

// Moves *temp_pos towards target by ramp_k / frequency (units per second over
// calls per second), snapping onto the target when that step would reach it.
// Throws std::invalid_argument for non-finite values, a negative ramp_k or a
// frequency that is not positive.
void Linearinterpolation(double* temp_pos, double target, double ramp_k, double frequency);

// Position at time `now` (seconds since the move began) of a rest-to-rest move
// from start to target that accelerates at max_acc, cruises at max_vec and
// brakes at max_acc (triangular when the distance is too short to reach
// max_vec). Returns start for now <= 0 and exactly target once the move is
// over. `frequency` is accepted and not used. Throws std::invalid_argument for
// non-finite values or a max_acc or max_vec that is not positive.
double TrapezoidalInterpolation(double now, double start, double target, double max_acc,
                                double max_vec, double frequency);

// Static gravity torques (N·m, signed to the arm's joint directions and scaled
// to the real arm) that hold the arm still at the six joint angles q_[0..5]
// (rad). type selects the last link's mass: 0 for 0.6 kg, 1 for 0.75 kg.
// Throws std::invalid_argument for any other type.
std::vector<double> l5_get_Tau(const double* q_, int type);

}  // namespace qel::solve
