#!/usr/bin/env python3
"""Moves, waits and streams: a joint move, a straight line of the tool, and
two seconds of a sine streamed to joint 1 at 100 Hz. Ctrl-C during a move
stops it and raises KeyboardInterrupt.

    move_and_stream.py <robot description> <CAN interface>
"""
import math
import sys
import time

import qel_m4

if len(sys.argv) != 3:
    sys.exit(f"usage: {sys.argv[0]} <robot description> <CAN interface>")

with qel_m4.InterfacesPy(sys.argv[1], sys.argv[2], 0) as arm:      # homes the arm
    arm.move_j([0.0, 0.8, 0.6, 0.0, 0.3, 0.0], 1.0, 2.0)              # returns once there
    pose = arm.get_ee_pose()
    pose[2] += 0.05
    arm.move_l(pose, 0.1, 0.5, asynchronous=True)                     # 5 cm up on a line
    arrived = arm.wait_motion(10.0)
    q = arm.get_joint_positions()[:6]
    for k in range(200):                                              # 2 s at 100 Hz
        arm.servo_j([q[0] + 0.2 * math.sin(math.pi * k * 0.01)] + q[1:], 0.01)
        time.sleep(0.01)
    streamed = arm.wait_motion(5.0)
    print(f"line {'arrived' if arrived else 'did not arrive'}, stream ended "
          f"{'at rest' if streamed else 'otherwise'}: {arm.motion_status()}")
sys.exit(0 if arrived and streamed else 1)
