#!/usr/bin/env python3
"""The smallest useful Python host: home the arm, move joint 2, read it back.

Ctrl-C (or SIGTERM) at any moment damps the arm and ends the program cleanly:
during construction the module cancels the homing and raises
KeyboardInterrupt; afterwards the arm is damped at once and the with-block
stops the controller.

    minimal_host.py <robot description> <CAN interface>
"""
import signal
import sys
import time

import qel_m4

POSITION_CONTROL = 5


def interrupt(signum, frame):
    raise KeyboardInterrupt


if len(sys.argv) != 3:
    sys.exit(f"usage: {sys.argv[0]} <robot description> <CAN interface>")
signal.signal(signal.SIGTERM, interrupt)

try:
    with qel_m4.InterfacesPy(sys.argv[1], sys.argv[2], 0) as arm:  # homes the arm
        try:
            arm.set_arm_status(POSITION_CONTROL)
            arm.set_joint_positions([0.0, 0.5, 0.0, 0.0, 0.0, 0.0])
            deadline = time.monotonic() + 3
            while abs(arm.get_joint_positions()[1] - 0.5) > 0.01 and time.monotonic() < deadline:
                time.sleep(0.01)
            joint2 = arm.get_joint_positions()[1]
            print(f"joint 2 is at {joint2:.3f} rad")
        except KeyboardInterrupt:
            arm.damp_now()  # damped from the next cycle; leaving the block stops the controller
            raise
except KeyboardInterrupt:
    print("interrupted; the arm is damped", file=sys.stderr)
    sys.exit(130)
sys.exit(0 if abs(joint2 - 0.5) < 0.02 else 1)
