"""Faults and stopping through the Python module, against qel-virtual-arm on
vcan0 (run through scripts/with-vcan, with QEL_VIRTUAL_ARM and QEL_URDF set)."""
import os
import signal
import subprocess
import sys
import time
import unittest

import qel_m4
import virtual_arm
from virtual_arm import eventually

POSITION_CONTROL = 5
DAMPING_REQUESTED = 5


class Faults(virtual_arm.TestCase):
    def test_an_unusable_bus_fails_construction(self):
        with self.assertRaises(qel_m4.BusOpenError) as caught:
            qel_m4.InterfacesPy(os.environ["QEL_URDF"], "can9", 0)
        self.assertIn("'can9'", str(caught.exception))
        # Every cause is an ArmError, and a RuntimeError as before.
        for cause in (qel_m4.BusOpenError, qel_m4.NoMotorAnswerError, qel_m4.OtherCommanderError,
                      qel_m4.HomingTimeoutError, qel_m4.StartupCancelledError,
                      qel_m4.OverCurrentError, qel_m4.MotorFaultError):
            self.assertTrue(issubclass(cause, qel_m4.ArmError), cause)
        self.assertTrue(issubclass(qel_m4.ArmError, RuntimeError))
        # An interface without an arm: no motor answers.
        with self.assertRaises(qel_m4.NoMotorAnswerError) as caught:
            qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan1", 0)
        self.assertIn("'vcan1'", str(caught.exception))

    def test_ctrl_c_during_construction_damps_and_raises_keyboard_interrupt(self):
        host = ("import sys, qel_m4\n"
                "print('constructing', flush=True)\n"
                "try:\n"
                "    qel_m4.InterfacesPy(sys.argv[1], 'vcan0', 0)\n"
                "except KeyboardInterrupt:\n"
                "    print('interrupted', flush=True)\n"
                "    sys.exit(3)\n"
                "print('constructed', flush=True)\n")
        child = subprocess.Popen([sys.executable, "-c", host, os.environ["QEL_URDF"]],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.assertEqual(child.stdout.readline().strip(), "constructing")
        time.sleep(1.0)  # into the homing, which takes at least 3.55 s
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        self.assertEqual(child.returncode, 3, out + err)
        self.assertIn("interrupted", out)
        self.assertNotIn("Init completed", err, "homing was cut short")
        self.assertNotIn("constructed", out)

    def test_damp_now_latches_until_a_state_is_set_and_codes_are_readable(self):
        with qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 0) as arm:
            arm.get_error_code()
            self.assertFalse(arm.fault_latched())
            self.assertIsNone(arm.latched_fault())
            arm.set_joint_positions([0.0] * 6)
            arm.set_arm_status(POSITION_CONTROL)
            arm.damp_now()
            self.assertTrue(eventually(arm.fault_latched, 5))
            code, message = arm.latched_fault()
            self.assertEqual(code, DAMPING_REQUESTED)
            self.assertTrue(message)
            time.sleep(0.1)
            self.assertTrue(arm.fault_latched(), "stays damped without a new state")
            self.assertIn(DAMPING_REQUESTED, arm.get_error_code())
            self.assertEqual(arm.get_error_code(), [])
            arm.set_arm_status(POSITION_CONTROL)
            self.assertFalse(arm.fault_latched())
            self.assertIsNone(arm.latched_fault())


if __name__ == "__main__":
    unittest.main()
