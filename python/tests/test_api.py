"""What a Python host needs beyond the plain-number interface: states, joint
status, the pose as a matrix, gripper torque and action, payload, error codes,
numpy in and out, and the real-time settings. Against qel-virtual-arm on vcan0
(run through scripts/with-vcan, with QEL_VIRTUAL_ARM and QEL_URDF set)."""
import math
import os
import threading
import time
import unittest

import numpy

import qel_m4
import virtual_arm
from virtual_arm import eventually


class HostApi(virtual_arm.TestCase):
    def test_settings_records_refuse_what_they_cannot_mean(self):
        for bad in (lambda: qel_m4.ThreadSettings(policy="realtime"),
                    lambda: qel_m4.RealtimeOptions(on_refusal="ignore"),
                    lambda: qel_m4.RealtimeOptions(spin_ns=-1)):
            with self.assertRaises(ValueError):
                bad()
        settings = qel_m4.ThreadSettings(policy="fifo", priority=80, cpus=[0], timer_slack_ns=1000)
        options = qel_m4.RealtimeOptions(control=settings, lock_memory=True, on_refusal="raise")
        self.assertEqual((options.control.policy, options.control.priority, options.control.cpus),
                         ("fifo", 80, [0]))
        self.assertTrue(options.lock_memory)

    def test_a_refused_real_time_setting_can_fail_construction(self):
        impossible = qel_m4.RealtimeOptions(receive=qel_m4.ThreadSettings(cpus=[4095]),
                                            on_refusal="raise")
        with self.assertRaises(RuntimeError) as caught:
            qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 0, realtime=impossible)
        self.assertIn("4095", str(caught.exception))
        # A spin margin of the whole 5 ms period would leave the control
        # thread no sleep: refused before anything starts.
        with self.assertRaises(ValueError) as caught:
            qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 0,
                                realtime=qel_m4.RealtimeOptions(spin_ns=5_000_000))
        self.assertIn("spin_ns", str(caught.exception))

    def test_the_host_api(self):
        with qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 0,
                                 realtime=qel_m4.RealtimeOptions()) as arm:
            self.assertEqual(arm.get_error_code(), [])
            self.assertIsNone(arm.latched_fault())
            self.assertTrue(arm.set_arm_status(qel_m4.State.POSITION_CONTROL))
            target = numpy.array([0.0, 0.5, 0.3, 0.0, 0.0, 0.0])
            self.assertTrue(arm.set_joint_positions(target))
            # Each joint reaches its target in its own time: wait for all six.
            self.assertTrue(eventually(
                lambda: numpy.allclose(arm.get_joint_positions(as_array=True)[:6], target, atol=0.02), 20))

            positions = arm.get_joint_positions(as_array=True)
            self.assertIsInstance(positions, numpy.ndarray)
            self.assertEqual((positions.shape, positions.dtype), ((7,), numpy.float64))
            self.assertIsInstance(arm.get_joint_velocities(), list)

            status = arm.get_joint_status()
            self.assertEqual(len(status), 7)
            self.assertIsInstance(status[1], qel_m4.JointStatus)
            self.assertAlmostEqual(status[1].position, 0.5, delta=0.03)
            self.assertTrue(all(s.torque == 0.0 for s in status), "the motors report no torque")
            table = arm.get_joint_status(as_array=True)
            self.assertEqual(table.shape, (7, 4))
            self.assertAlmostEqual(table[2, 0], 0.3, delta=0.03)

            matrix = arm.get_ee_pose_matrix(as_array=True)
            self.assertEqual(matrix.shape, (4, 4))
            numpy.testing.assert_allclose(matrix[3], [0.0, 0.0, 0.0, 1.0], atol=1e-12)
            numpy.testing.assert_allclose(matrix[:3, :3] @ matrix[:3, :3].T, numpy.eye(3), atol=1e-9)

            def same_pose():
                # Two reads, possibly of different cycles: they agree once the
                # arm has settled, in position and in rotation (the quaternion
                # w, x, y, z of the same rotation matrix).
                m = arm.get_ee_pose_matrix(as_array=True)
                pose = arm.get_ee_pose()
                w, x = pose[3], pose[4]
                return (numpy.allclose(m[:3, 3], pose[:3], atol=1e-4) and
                        abs((m[2][1] - m[1][2]) - 4 * w * x) < 1e-3)
            self.assertTrue(eventually(same_pose, 30))
            self.assertEqual(len(arm.get_ee_pose_matrix()), 4)

            for bad in (lambda: arm.set_catch_torque(math.nan),
                        lambda: arm.set_end_effector_mass(-0.1),
                        lambda: arm.set_end_effector_mass(math.inf),
                        lambda: arm.set_joint_positions(numpy.array([0.0, math.nan, 0, 0, 0, 0]))):
                with self.assertRaises(ValueError):
                    bad()
            self.assertTrue(arm.set_end_effector_mass(0.3))
            self.assertTrue(arm.set_catch_torque(0.5))
            arm.set_catch_action_fast()
            arm.set_catch_action_slow()
            self.assertTrue(arm.set_catch(0.0))
            self.assertEqual(arm.get_error_code(), [])

            # Closed by another thread while reads run without the GIL: each
            # read completes or raises "closed"; none reaches a controller
            # that is gone.
            errors = []

            def reader():
                while True:
                    try:
                        arm.get_joint_positions()
                        arm.get_error_code()
                        arm.get_joint_status(as_array=True)
                    except RuntimeError as e:
                        if "closed" not in str(e):
                            errors.append(e)
                        return

            readers = [threading.Thread(target=reader) for _ in range(3)]
            for t in readers:
                t.start()
            time.sleep(0.05)
            arm.close()
            for t in readers:
                t.join()
            self.assertEqual(errors, [])


if __name__ == "__main__":
    unittest.main()
