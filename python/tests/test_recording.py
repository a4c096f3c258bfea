"""Recording a running arm from Python, against qel-virtual-arm on vcan0:
the HDF5 file opens with h5py and holds the documented datasets with their
units and shapes and the arm's description; the package's reader gives the
same numbers as numpy arrays; CSV has one line per cycle; bad input is a
ValueError. Needs vcan0 (scripts/with-vcan), QEL_VIRTUAL_ARM and QEL_URDF."""
import os
import pathlib
import shutil
import tempfile
import time
import unittest

import h5py
import numpy

import qel_m4
import virtual_arm

GRAVITY_COMPENSATION = 3

# Every dataset of a recording with its unit and the shape of one row,
# written out from docs/recording.md.
DATASETS = {
    "cycle": ("", ()),
    "time/monotonic_ns": ("ns", ()),
    "time/system_ns": ("ns", ()),
    "time/late_ns": ("ns", ()),
    "time/work_ns": ("ns", ()),
    "state": ("", ()),
    "fault_latched": ("", ()),
    "target/joint_position": ("rad", (7,)),
    "target/gripper_mode": ("", ()),
    "target/gripper_fast": ("", ()),
    "target/gripper_torque": ("current units", ()),
    "target/pose": ("m, m, m, rad, rad, rad", (6,)),
    "command/frames": ("", (7,)),
    "command/k_p": ("N*m/rad", (7,)),
    "command/k_d": ("N*m*s/rad", (7,)),
    "command/position": ("rad", (7,)),
    "command/velocity": ("rad/s", (7,)),
    "command/torque": ("N*m", (7,)),
    "command/payload": ("", (7, 8)),
    "measured/position": ("rad", (7,)),
    "measured/velocity": ("rad/s", (7,)),
    "measured/current": ("current units", (7,)),
    "errors/count": ("", ()),
    "errors/codes": ("", (16,)),
}
JOINTS = ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"]


class Recording(virtual_arm.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qel-python-recording.")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_a_recording_reads_back_with_h5py_and_as_numpy_arrays(self):
        h5 = pathlib.Path(self.dir) / "session.h5"
        csv = os.path.join(self.dir, "session.csv")
        with qel_m4.InterfacesPy(os.environ["QEL_URDF"], "vcan0", 7) as arm:
            arm.set_arm_status(GRAVITY_COMPENSATION)
            with self.assertRaises(ValueError):
                arm.start_recording(h5, format="mat")
            with self.assertRaises(ValueError):
                arm.start_recording("")
            with self.assertRaises(RuntimeError):
                arm.start_recording(os.path.join(self.dir, "missing", "x.h5"))
            with self.assertRaises(ValueError):
                arm.set_fault_dump_folder(os.path.join(self.dir, "missing"))
            self.assertIsNone(arm.last_fault_dump())

            arm.start_recording(h5)  # a path object works as a str does
            self.assertTrue(arm.recording_status().active)
            with self.assertRaises(ValueError):
                arm.start_recording(csv, format="csv")
            self.assertTrue(virtual_arm.eventually(lambda: arm.recording_status().written >= 60, 30))
            status = arm.stop_recording()
            self.assertFalse(status.active)
            self.assertEqual(status.path, str(h5))
            self.assertEqual(status.error, "")
            self.assertGreaterEqual(status.written, 60)

            arm.start_recording(csv, "csv")
            self.assertTrue(virtual_arm.eventually(lambda: arm.recording_status().written >= 10, 30))
            csv_status = arm.stop_recording()

        with h5py.File(h5, "r") as f:
            found = set()
            f.visititems(lambda name, item: found.add(name) if isinstance(item, h5py.Dataset) else None)
            self.assertEqual(found, set(DATASETS))
            rows = status.written
            for name, (unit, row) in DATASETS.items():
                self.assertEqual(f[name].shape, (rows,) + row, name)
                self.assertEqual(f[name].attrs["unit"], unit, name)
                self.assertTrue(f[name].attrs["description"], name)
            self.assertEqual(list(f["measured/position"].attrs["columns"]), JOINTS)
            self.assertEqual(f.attrs["robot_variant"], 7)
            self.assertEqual(f.attrs["library_version"], qel_m4.__version__)
            self.assertEqual(f.attrs["can_interface"], "vcan0")
            self.assertEqual(list(f.attrs["joint_names"]), JOINTS)
            self.assertEqual(list(f.attrs["motor_ids"]), [1, 2, 4, 5, 6, 7, 8])
            self.assertEqual(f.attrs["cycles_written"], rows)
            self.assertEqual(f.attrs["cycles_lost"], 0)
            cycles = f["cycle"][()]
            positions = f["measured/position"][()]

        recording = qel_m4.read_recording(h5)
        self.assertEqual(len(recording), rows)
        self.assertEqual(recording.lost, 0)
        self.assertEqual(recording.joint_names, JOINTS)
        self.assertEqual(recording.attrs["robot_variant"], 7)
        self.assertEqual(recording.units["measured/velocity"], "rad/s")
        numpy.testing.assert_array_equal(recording["cycle"], cycles)
        numpy.testing.assert_array_equal(recording["measured/position"], positions)
        self.assertTrue(numpy.all(numpy.diff(recording["cycle"].astype(numpy.int64)) == 1))
        self.assertTrue(numpy.all(recording["state"] == GRAVITY_COMPENSATION))
        # Every motor commanded once a cycle; gravity compensation has no stiffness.
        self.assertTrue(numpy.all(recording["command/frames"] == 1))
        self.assertTrue(numpy.all(recording["command/k_p"] == 0.0))
        t = recording.time_s
        self.assertEqual(t[0], 0.0)
        self.assertTrue(numpy.all(numpy.diff(t) > 0))

        with open(csv, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 1 + csv_status.written)
        header = lines[0].split(",")
        self.assertEqual(header[0], "cycle")
        self.assertIn("measured/position/joint2", header)
        self.assertIn("command/torque/gripper", header)


if __name__ == "__main__":
    unittest.main()
