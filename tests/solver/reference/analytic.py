#!/usr/bin/env python3
"""Reference values for the analytic kinematics, guards, interpolation and
torque model tests, computed from the arm's published numbers in single
precision (numpy float32), independently of the C++ code. Run once; the
printed values are written into the tests by hand."""
import math
import sys
import numpy as np

F = np.float32


def sinf(x):
    return F(math.sin(float(x)))


def cosf(x):
    return F(math.cos(float(x)))


HALF_PI_F = F(math.pi / 2)
A = [F(0.02), F(-0.264), F(0.252), F(0.06775), F(0), F(0)]
ALPHA = [HALF_PI_F, F(0), F(0), -HALF_PI_F, HALF_PI_F, F(0)]
D = [F(0), F(0), F(0), F(0), F(0), F(0.029)]
OFFSETS = {2: 0.24, 3: -0.24, 4: 1.5707963267948966}
TOOL = F(1.5708)


def dh(a, al, d, q):
    cq, sq, ca, sa = cosf(q), sinf(q), cosf(al), sinf(al)
    return np.array([[cq, -sq * ca, sq * sa, a * cq],
                     [sq, cq * ca, -cq * sa, a * sq],
                     [F(0), sa, ca, d],
                     [F(0), F(0), F(0), F(1)]], dtype=F)


def mul(A_, B_):
    n = A_.shape[0]
    C = np.zeros((n, n), dtype=F)
    for i in range(n):
        for j in range(n):
            s = F(0)
            for k in range(n):
                s = F(s + F(A_[i, k] * B_[k, j]))
            C[i, j] = s
    return C


def mulv(R, P):
    n = R.shape[0]
    out = np.zeros(n, dtype=F)
    for i in range(n):
        s = F(R[i, 0] * P[0])
        for k in range(1, n):
            s = F(s + F(R[i, k] * P[k]))
        out[i] = s
    return out


def offsets(q):
    j = [F(v) for v in q]
    for i, o in OFFSETS.items():
        j[i] = F(float(j[i]) + o)
    return j


def fk(q):
    j = offsets(q)
    T = dh(A[0], ALPHA[0], D[0], j[0])
    for i in range(1, 6):
        T = mul(T, dh(A[i], ALPHA[i], D[i], j[i]))
    return T


def rot_xyz(r, p, y):
    cr, sr, cp, sp, cy, sy = cosf(r), sinf(r), cosf(p), sinf(p), cosf(y), sinf(y)
    Rx = np.array([[1, 0, 0], [0, cr, -sr], [0, sr, cr]], dtype=F)
    Ry = np.array([[cp, 0, sp], [0, 1, 0], [-sp, 0, cp]], dtype=F)
    Rz = np.array([[cy, -sy, 0], [sy, cy, 0], [0, 0, 1]], dtype=F)
    return Rx, Ry, Rz


def get_rpy(R):
    pitch = F(math.atan2(float(-R[2, 0]), float(F(math.sqrt(float(F(F(R[0, 0] * R[0, 0]) + F(R[1, 0] * R[1, 0]))))))))
    if abs(float(pitch)) > float(HALF_PI_F) - 1e-12:
        return F(0), pitch, F(math.atan2(float(-R[0, 1]), float(R[1, 1])))
    return F(math.atan2(float(R[2, 1]), float(R[2, 2]))), pitch, F(math.atan2(float(R[1, 0]), float(R[0, 0])))


def host_to_model(q):
    m = [F(v) for v in q]
    m[1] = -m[1]
    m[4] = -m[4]
    return m


def l5_fk(q):
    T0 = fk([0] * 6)
    T = fk(host_to_model(q))
    _, Ry, Rz = rot_xyz(F(0), -TOOL, -TOOL)
    Rs = mul(mul(T[:3, :3].copy(), Rz), Ry)
    r, p, y = get_rpy(Rs)
    return [float(F(T[i, 3] - T0[i, 3])) for i in range(3)] + [float(r), float(p), float(y)]


def invT(T):
    Rt = T[:3, :3].T.copy()
    p1 = mulv(Rt, T[:3, 3].copy())
    out = np.zeros((4, 4), dtype=F)
    out[:3, :3] = Rt
    out[:3, 3] = -p1
    out[3, 3] = 1
    return out


def tr2dlta(A_, B_):
    S = mul(invT(A_), B_)
    h = F(0.5)
    return np.array([S[0, 3], S[1, 3], S[2, 3], h * F(S[2, 1] - S[1, 2]),
                     h * F(S[0, 2] - S[2, 0]), h * F(S[1, 0] - S[0, 1])], dtype=F)


def jacobe(q):
    j = offsets(q)
    L = [dh(A[i], ALPHA[i], D[i], j[i]) for i in range(6)]
    J = np.zeros((6, 6), dtype=F)
    U = L[5]
    for jj in range(6, 0, -1):
        if jj < 6:
            U = mul(L[jj - 1], U)
        c = jj - 1
        for r in range(3):
            J[r, c] = F(F(-U[0, r] * U[1, 3]) + F(U[1, r] * U[0, 3]))
        J[3, c], J[4, c], J[5, c] = U[2, 0], U[2, 1], U[2, 2]
    return J


def norm6(e):
    s = F(0)
    for v in e:
        s = F(s + F(v * v))
    return F(math.sqrt(float(s)))


def ik_lm(Td, q0, rlimit=100, ilimit=500, stats=None):
    q = [F(v) for v in q0]
    it = rej = 0
    lam = F(0.1)
    norme_new = F(0)
    messages = 0
    max_run = 0
    how = None
    while True:
        it += 1
        if it > ilimit:
            messages += 1
            how = 'ilimit'
            break
        e = tr2dlta(fk(q), Td)
        norme = norm6(e)
        if norme < F(1e-4):
            how = 'converged'
            break
        J = jacobe(q)
        JT = J.T.copy()
        JTJ = mul(JT, J)
        for i in range(6):
            JTJ[i, i] = F(JTJ[i, i] + lam)
        Je = mulv(JT, e)
        Ad = JTJ.astype(np.float64)
        dq = np.linalg.solve(Ad, Je.astype(np.float64))
        qn = [F(float(q[i]) + dq[i]) for i in range(6)]
        norme_new = norm6(tr2dlta(fk(qn), Td))
        if norme_new < norme:
            q = qn
            lam = F(lam / F(2))
            if rej > 10 and stats is not None:
                stats.setdefault('long_runs', []).append(rej)
            rej = 0
        else:
            lam = F(lam * F(2))
            rej += 1
            max_run = max(max_run, rej)
            if rej > rlimit:
                how = 'rlimit'
                break
    if stats is not None:
        # last_norm: the figure the iteration-limit message prints.
        stats.update(iterations=it, how=how, messages=messages, max_run=max_run, last_norm=float(norme_new))
    return q


def tool_correction():
    Rx, Ry, Rz = rot_xyz(TOOL, TOOL, F(0))
    return mul(mul(Rx, Ry), Rz)


def rpy_rotation(r, p, y):
    Rx, Ry, Rz = rot_xyz(F(r), F(p), F(y))
    return mul(Rz, mul(Ry, Rx))


def dh_target_from_pose(pose, add_in_float=False):
    Rd = mul(rpy_rotation(pose[3], pose[4], pose[5]), tool_correction())
    T = fk([0] * 6)
    for i in range(3):
        if add_in_float:
            T[i, 3] = F(F(pose[i]) + T[i, 3])
        else:
            T[i, 3] = F(pose[i] + float(T[i, 3]))
    T[:3, :3] = Rd
    return T


def seed(q0):
    s = host_to_model(q0)
    if float(s[2]) > 2.7:
        s[2] = F(2.7)
    if float(s[3]) > 1.1:
        s[3] = F(1.1)
    return s


def l5_ik_lm(q0, pose, stats=None, **kw):
    pose = list(pose)
    if pose[0] < 0:
        pose[0] = 0.0
    q = ik_lm(dh_target_from_pose(pose), seed(q0), stats=stats, **kw)
    out = [float(v) for v in q]
    out[1] = -out[1]
    out[4] = -out[4]
    return out


LIMITS = [(-3.14, 2.618), (-3.6, 0.1), (-0.1, 3.14), (-1.4, 1.4), (-1.571, 1.571),
          (-2.0933333333333333, 2.0933333333333333)]


def is_joint_lmt(q0, pose, stats=None):
    pose = [F(v) for v in pose]
    q = ik_lm(dh_target_from_pose(pose, add_in_float=True), seed([F(v) for v in q0]), stats=stats)
    bad = [i + 1 for i in range(6) if float(q[i]) > LIMITS[i][1] or float(q[i]) < LIMITS[i][0]]
    return bad, q


def joint4_pos(end2wan, s):
    x, y, z, r, p, w = [F(v) for v in s]
    end2wan = F(end2wan)
    r11 = F(cosf(p) * cosf(w))
    r21 = F(F(cosf(r) * sinf(w)) + F(F(sinf(r) * sinf(p)) * cosf(w)))
    r31 = F(F(sinf(r) * sinf(w)) - F(F(cosf(r) * cosf(w)) * sinf(p)))
    rz = F(math.asin(float(r21)))
    ry = F(math.atan2(float(F(-r31 / cosf(rz))), float(F(r11 / cosf(rz)))))
    wan = [F(x - F(end2wan * r11)), F(y - F(end2wan * r21)), F(z - F(end2wan * r31))]
    q1 = F(math.atan2(float(wan[1]), float(wan[0])))
    u = [F(cosf(q1) * cosf(ry)), F(sinf(q1) * cosf(ry)), -sinf(ry)]
    return [F(wan[i] - F(F(0.06775) * u[i])) for i in range(3)]


def reach(s, shoulder_height=-0.059):
    T0 = fk([0] * 6)
    j4 = joint4_pos(D[5], s)
    q2 = F(math.atan2(float(j4[1]), float(j4[0])))
    sh = [F(F(F(0.02) * cosf(q2)) - T0[0, 3]), F(F(0.02) * sinf(q2)), F(shoulder_height)]
    dx, dy, dz = [F(j4[i] - sh[i]) for i in range(3)]
    return j4, F(math.sqrt(float(F(F(F(dx * dx) + F(dy * dy)) + F(dz * dz)))))


def tau(q, typ, p4z=0.03, sign5=-1.0):
    offs = [(1, 0.0), (-1, 3.1416), (1, -2.9015), (1, -0.24), (-1, 1.5708), (1, 0.0)]
    twist = [1, 0, 0, -1, 1, 0]
    p = [[0.02, 0, 0], [0.264, 0, 0], [0.252, 0, 0], [0.06775, 0, p4z], [0, -0.03, 0], [0, 0, 0.0865]]
    p = [np.array(v, dtype=F) for v in p]
    m = [0, 0.9, 0.75, 0.66, 0, [0.6, 0.75][typ]]
    sign = [1, -1, 1, 1, sign5, 1]
    R = []
    for i in range(6):
        th = F(offs[i][1] + offs[i][0] * q[i])
        c, s = cosf(th), sinf(th)
        if twist[i] == 1:
            R.append(np.array([[c, 0, s], [s, 0, -c], [0, 1, 0]], dtype=F))
        elif twist[i] == 0:
            R.append(np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]], dtype=F))
        else:
            R.append(np.array([[c, 0, -s], [s, 0, c], [0, -1, 0]], dtype=F))
    g0 = np.array([0, 0, -9.81], dtype=F)
    chain = np.eye(3, dtype=F)
    g = []
    for i in range(6):
        chain = mul(chain, R[i])
        g.append(mulv(chain.T.copy(), g0))
    f = np.zeros(3, dtype=F)
    n = np.zeros(3, dtype=F)
    out = [0.0] * 6

    def cross(u, v):
        return np.array([F(F(u[1] * v[2]) - F(u[2] * v[1])), F(F(u[2] * v[0]) - F(u[0] * v[2])),
                         F(F(u[0] * v[1]) - F(u[1] * v[0]))], dtype=F)
    for i in range(5, -1, -1):
        if i == 5:
            fi, ni = f, n
        else:
            fi, ni = mulv(R[i + 1], f), mulv(R[i + 1], n)
        mass = F(m[i])
        f = np.array([F(F(-mass * g[i][k]) + fi[k]) for k in range(3)], dtype=F)
        lev = cross(p[i], f)
        n = np.array([F(ni[k] + lev[k]) for k in range(3)], dtype=F)
        axis = mulv(R[i].T.copy(), np.array([0, 0, 1], dtype=F))
        out[i] = float(F(F(F(axis[0] * n[0]) + F(axis[1] * n[1])) + F(axis[2] * n[2])))
    return [out[i] * (sign[i] * float(F(1.24))) for i in range(6)]


def interpolation(target, pos, acc, vel):
    t, c, a, v = F(target), F(pos), F(acc), F(vel)
    dist = F(t - c)
    accd = F(F(v * v) / F(F(2) * a))
    decd = accd
    if dist > 0:
        if dist < accd:
            s = F(math.sqrt(float(F(F(F(2) * a) * dist))))
        elif dist > F(accd + decd):
            s = v
        else:
            s = F(math.sqrt(max(0.0, float(F(F(v * v) - F(F(F(dist - accd) * F(2)) * a))))))
    else:
        Dd = F(-dist)
        if Dd < decd:
            s = -F(math.sqrt(float(F(F(F(2) * a) * Dd))))
        elif Dd > F(accd + decd):
            s = -v
        else:
            s = -F(math.sqrt(max(0.0, float(F(F(v * v) - F(F(F(Dd - decd) * F(2)) * a))))))
    c = F(F(s * F(0.03)) + c)
    return float(c), float(s)


if __name__ == '__main__':
    exec(sys.argv[1] if len(sys.argv) > 1 else 'pass')
