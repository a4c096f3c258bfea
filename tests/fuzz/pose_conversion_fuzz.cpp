// Arbitrary numbers through the pose conversions and the analytic forward
// kinematics and guards: no undefined behaviour for any input, finite results
// for finite input of a sensible size, and round trips that hold.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "fuzz_check.hpp"
#include "qel/solver/Exercise.hpp"

using namespace qel::solve;

namespace {

bool sensible(const double* v, int n, double bound) {
    for (int i = 0; i < n; ++i)
        if (!(std::fabs(v[i]) <= bound)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const bool raw = input.ConsumeBool();
    double v[6];
    for (double& x : v) x = raw ? anyDouble(input) : input.ConsumeFloatingPointInRange(-4.0, 4.0);

    const Eigen::Isometry3d pose = Xyzrpy2Isometry(v);
    const std::vector<double> back = Isometry2Xyzrpy(pose);
    QEL_FUZZ_CHECK(back.size() == 6);
    if (sensible(v, 6, 1e6)) {
        for (double x : back) QEL_FUZZ_CHECK(std::isfinite(x));
        for (int i = 0; i < 3; ++i) QEL_FUZZ_CHECK(back[i] == v[i]);
        // Angles in the principal ranges come back; away from pitch +-pi/2,
        // where roll and yaw are not separable.
        if (std::fabs(v[3]) < 3.1 && std::fabs(v[4]) < 1.5 && std::fabs(v[5]) < 3.1) {
            for (int i = 3; i < 6; ++i) QEL_FUZZ_CHECK(std::fabs(back[i] - v[i]) < 1e-9);
        }
    }

    double host[6], matrix[4][4] = {};
    l5_fk(v, host);
    l5_fk_matrix(v, matrix);
    float model[6], T[4][4], Tinv[4][4], R[3][3], rpy[3];
    for (int i = 0; i < 6; ++i) model[i] = static_cast<float>(v[i]);
    fk(model, T);
    my_invT(T, Tinv);
    T_2_R(T, R);
    my_GetRPY(R, rpy);
    if (sensible(v, 6, 100.0)) {
        for (double x : host) QEL_FUZZ_CHECK(std::isfinite(x));
        for (int i = 0; i < 3; ++i) QEL_FUZZ_CHECK(matrix[i][3] == host[i]);
        // The flange stays within the arm's reach of its zero-pose position.
        QEL_FUZZ_CHECK(std::sqrt(host[0] * host[0] + host[1] * host[1] + host[2] * host[2]) < 1.5);
        for (float x : rpy) QEL_FUZZ_CHECK(std::isfinite(x));
    }

    float pose_f[6], out[6], joint4[3];
    for (int i = 0; i < 6; ++i) pose_f[i] = static_cast<float>(v[i]);
    l5_get_jonit4_pos(0.029f, pose_f, joint4);
    const float zeros[6] = {};
    float init[4][4];
    fk(zeros, init);
    is_out_spherical_wan(init, pose_f, 0.5f, out);
    for (int i = 0; i < 6; ++i) QEL_FUZZ_CHECK(std::memcmp(&out[i], &pose_f[i], sizeof(float)) == 0);
    return 0;
}
