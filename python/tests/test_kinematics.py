"""Kinematics through the Python module: results agree with each other and
bad input raises ValueError instead of reaching the library."""
import math
import unittest

import qel_m4


class AnalyticKinematics(unittest.TestCase):
    def test_zero_pose_is_the_origin_and_ik_inverts_fk(self):
        self.assertEqual(len(qel_m4.l5_fk([0.0] * 6)), 6)
        for value in qel_m4.l5_fk([0.0] * 6)[:3]:
            self.assertAlmostEqual(value, 0.0, places=4)

        joints = [0.2, 0.4, 0.5, 0.1, -0.3, 0.2]
        pose = qel_m4.l5_fk(joints)
        seed = [j + 0.1 for j in joints]
        solved = qel_m4.l5_ik_lm(seed, pose)
        for got, want in zip(solved, joints):
            self.assertAlmostEqual(got, want, delta=2e-3)

    def test_the_tools_class_matches_the_function_and_ignores_the_gripper(self):
        tools = qel_m4.InterfacesToolsPy(0)
        joints = [0.1, 0.5, 0.6, 0.0, 0.2, 0.0]
        self.assertEqual(tools.forward_kinematics_rpy(joints + [3.0]),
                         tools.forward_kinematics_rpy(joints))

    def test_torque_model_types(self):
        self.assertEqual(len(qel_m4.l5_get_Tau([0.0] * 6, 0)), 6)
        with self.assertRaises(ValueError):
            qel_m4.l5_get_Tau([0.0] * 6, 2)

    def test_bad_input_raises_value_error(self):
        tools = qel_m4.InterfacesToolsPy(0)
        for call in (lambda: qel_m4.l5_fk([0.0] * 5),
                     lambda: qel_m4.l5_fk([0.0] * 5 + [math.nan]),
                     lambda: qel_m4.l5_ik_lm([0.0] * 6, [0.1, 0, 0, 0, 0, math.inf]),
                     lambda: tools.forward_kinematics_rpy([0.0] * 5),
                     lambda: qel_m4.KinematicSolver().computeForwardKinematics([0.0] * 7)):
            with self.assertRaises(ValueError):
                call()


class TreeSolver(unittest.TestCase):
    def test_round_trip_and_failure(self):
        solver = qel_m4.KinematicSolver()
        joints = [0.1, 0.5, 0.6, 0.0, 0.2, 0.0]
        pose = solver.computeForwardKinematics(joints)
        back = solver.computeInverseKinematics(pose)
        for got, want in zip(back, joints):
            self.assertAlmostEqual(got, want, delta=1e-3)
        with self.assertRaises(RuntimeError):
            solver.computeInverseKinematics([5.0, 5.0, 5.0, 0.0, 0.0, 0.0])

    def test_docstrings(self):
        for name in ("l5_fk", "l5_ik_lm", "l5_get_Tau", "KinematicSolver", "InterfacesToolsPy"):
            self.assertTrue(getattr(qel_m4, name).__doc__, name)


if __name__ == "__main__":
    unittest.main()
