"""Motions through the Python module, against qel-virtual-arm on vcan0 (run
through scripts/with-vcan, with QEL_VIRTUAL_ARM and QEL_URDF set): blocking
calls that release the GIL, input errors as ValueError, refusals as False
with the reason, and Ctrl-C during a blocking move."""
import math
import os
import signal
import threading
import time
import unittest

import qel_m4
import virtual_arm

HOME = [0.0, 0.0, 0.0, 0.0, 0.0, 0.0]


class Motion(virtual_arm.TestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.arm = qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 0)

    @classmethod
    def tearDownClass(cls):
        cls.arm.close()
        super().tearDownClass()

    def test_1_blocking_moves_release_the_gil_and_say_how_they_ended(self):
        arm = self.arm
        self.assertEqual(arm.motion_status().state, qel_m4.MotionState.IDLE)
        with virtual_arm.Ticker(0.02) as ticker:
            start = time.monotonic()
            self.assertTrue(arm.move_j([0.2, 0.5, 0.4, 0.0, 0.0, 0.0, 1.0], 1.0, 3.0))
            end = time.monotonic()
        self.assertGreaterEqual(ticker.between(start, end), 3, "the GIL was held")
        status = arm.motion_status()
        self.assertEqual((status.state, status.kind, status.progress),
                         (qel_m4.MotionState.DONE, qel_m4.MotionKind.JOINT, 1.0))
        self.assertTrue(all(abs(q - t) < 0.03 for q, t in zip(arm.get_joint_positions(), [0.2, 0.5, 0.4])))

        pose = arm.get_ee_pose()
        pose[2] += 0.03
        self.assertTrue(arm.move_l(pose, 0.1, 0.5), arm.motion_status().reason)
        self.assertLess(math.dist(arm.get_ee_pose()[:3], pose[:3]), 0.005)

        points = [qel_m4.TrajectoryPoint([0.1, 0.5, 0.4, 0.0, 0.0, 0.0], 0.4),
                  qel_m4.TrajectoryPoint([0.0, 0.4, 0.4, 0.0, 0.0, 0.0], 0.8)]
        self.assertTrue(arm.follow_joint_trajectory(points, asynchronous=True))
        self.assertTrue(arm.wait_motion(10.0))

        for k in range(20):
            self.assertTrue(arm.servo_j([0.002 * k, 0.4, 0.4, 0.0, 0.0, 0.0], 0.01))
            time.sleep(0.01)
        self.assertTrue(arm.wait_motion())
        self.assertEqual(arm.motion_status().kind, qel_m4.MotionKind.SERVO)

    def test_2_bad_input_raises_and_impossible_motions_are_refused(self):
        arm = self.arm
        for bad in (lambda: arm.move_j([0.1, 0.2], 1.0, 1.0),
                    lambda: arm.move_j([0.1, 0.2, 0.3, 0.0, 0.0, float("nan")], 1.0, 1.0),
                    lambda: arm.move_j(HOME, 0.0, 1.0),
                    lambda: arm.move_l([0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0], 0.1, 0.5),
                    lambda: arm.servo_j(HOME, -0.01),
                    lambda: arm.stop_motion(0.0),
                    lambda: arm.wait_motion(-1.0),
                    lambda: arm.follow_joint_trajectory([]),
                    lambda: arm.follow_joint_trajectory([qel_m4.TrajectoryPoint(HOME, 0.5),
                                                         qel_m4.TrajectoryPoint(HOME, 0.5)])):
            with self.assertRaises(ValueError):
                bad()
        self.assertFalse(arm.move_j([0.0, 4.0, 0.0, 0.0, 0.0, 0.0], 1.0, 1.0))
        status = arm.motion_status()
        self.assertEqual(status.state, qel_m4.MotionState.REFUSED)
        self.assertIn("joint 2", status.reason)

    def test_3_ctrl_c_during_a_blocking_move_stops_it_and_raises(self):
        arm = self.arm
        timer = threading.Timer(0.4, lambda: os.kill(os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with self.assertRaises(KeyboardInterrupt):
                arm.move_j([1.2, 0.8, 0.8, 0.0, 0.0, 0.0], 0.5, 2.0)
        finally:
            timer.cancel()
        self.assertFalse(arm.wait_motion(10.0))
        status = arm.motion_status()
        self.assertEqual(status.state, qel_m4.MotionState.STOPPED)
        self.assertLess(status.progress, 0.5)
        self.assertLess(abs(arm.get_joint_positions()[0]), 1.0, "stopped well short of the goal")


if __name__ == "__main__":
    unittest.main()
