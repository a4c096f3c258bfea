from analytic import *

def arr(v, fmt='%.9g'):
    return '{' + ', '.join(fmt % float(x) for x in v) + '}'

print('// fk, model convention')
for q in [[0.4, -0.5, -0.15, 0.29, -0.62, 0.3], [-1.1, -1.9, 2.2, -0.9, 1.3, -2.5], [2.0, 0.3, 0.6, 1.2, -0.2, 1.0]]:
    T = fk(q)
    print(arr(q, '%.2f'), '->', '{' + ', '.join(arr(T[i]) for i in range(3)) + '}')
print('// l5_fk, host convention')
for q in [[0.3, 0.8, 1.2, -0.3, 0.4, 0.5], [-0.7, 1.6, 0.4, 0.9, -1.1, 2.0], [1.2, 0.2, 2.3, -1.2, 0.6, -0.8]]:
    print(arr(q, '%.2f'), '->', arr(l5_fk(q)))
print('// jacobian')
J = jacobe([0.4, -0.5, -0.15, 0.29, -0.62, 0.3])
print('{' + ', '.join(arr(J[i]) for i in range(6)) + '}')
print('// tau')
for q in [[0.5, 0.8, 1.2, -0.3, 0.4, 0.5], [-1.0, 1.7, 0.4, 0.9, -1.1, 2.0], [0.0, 0.3, 2.3, -1.2, 0.6, -0.8]]:
    for t in (0, 1):
        print(arr(q, '%.2f'), t, arr(tau(q, t)))
        print('   p4z=0', arr(tau(q, t, p4z=0.0)))
print('// joint4 + reach')
for s in [[0.1, 0.05, -0.02, 0.2, -0.3, 0.4], [0.25, -0.15, 0.1, -0.5, 0.6, -0.2], [0.05, 0.2, -0.1, 1.0, 0.2, 0.9]]:
    j4, r = reach(s)
    _, r2 = reach(s, shoulder_height=-0.062)
    print(arr(s, '%.2f'), '->', arr(j4), '%.9g' % float(r), ' (shoulder -0.062: %.9g)' % float(r2))
print('// interpolation')
for target, acc, vel in [(0.5, 0.08, 0.4), (1.5, 0.08, 0.4), (2.0, 0.08, 0.4), (-0.7, 0.08, 0.2), (1.2, 0.5, 1.0)]:
    pos = 0.0
    seq = []
    for i in range(6):
        pos, s = interpolation(target, pos, acc, vel)
        seq.append((pos, s))
    print(target, acc, vel, '{' + ', '.join('{%.9g, %.9g}' % p for p in seq) + '}')
