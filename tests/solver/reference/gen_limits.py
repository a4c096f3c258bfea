from analytic import *
base = [0.3, -0.8, 1.2, -0.3, -0.4, 0.5]   # model convention
bounds = [(-3.14, 2.618), (-3.6, 0.1), (-0.1, 3.14), (-1.4, 1.4), (-1.571, 1.571), (-2.0933333333333333, 2.0933333333333333)]
for i, (lo, hi) in enumerate(bounds):
    for b, sgn in ((lo, -1), (hi, 1)):
        for beyond in (True, False):
            m = list(base)
            m[i] = b + sgn * (0.003 if beyond else -0.003)
            host = list(m); host[1] = -host[1]; host[4] = -host[4]
            pose = [float(F(v)) for v in l5_fk(host)]
            st = {}
            bad, q = is_joint_lmt(host, pose, stats=st)
            print(i + 1, b, beyond, bad, round(float(q[i]), 5), st['how'], st['iterations'])
