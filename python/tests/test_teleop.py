"""A teleoperation episode from Python's side: qel-teleop drives one virtual
arm (vcan1) from another (vcan0, pushed on joint 2 while it floats) and
records the episode; the file opens with h5py and holds the documented
datasets with their units, shapes and attributes, and the package's reader
gives the same arrays. Needs vcan0 and vcan1 (scripts/with-vcan),
QEL_VIRTUAL_ARM and QEL_TELEOP."""
import os
import shutil
import subprocess
import tempfile
import unittest

import h5py
import numpy

import qel_m4
import virtual_arm

JOINTS = ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "gripper"]
# Every dataset of an episode with its unit and the shape of one row,
# written out from docs/teleoperation.md.
DATASETS = {
    "action": ("rad", (7,)),
    "observations/qpos": ("rad", (7,)),
    "observations/qvel": ("rad/s", (7,)),
    "observations/effort": ("current units", (7,)),
    "timestamp": ("s", ()),
    "time/leader_ns": ("ns", ()),
    "time/follower_ns": ("ns", ()),
    "time/command_ns": ("ns", ()),
    "cycle/leader": ("", ()),
    "cycle/follower": ("", ()),
}


class Episode(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qel-python-teleop.")
        # The leader is pushed from 2 s on, for good: while the arms home it
        # is held, then it floats along.
        self.arms = [virtual_arm.start("vcan0", ["--push", "2:0.3:2:1000"]), virtual_arm.start("vcan1")]

    def tearDown(self):
        for arm in self.arms:
            virtual_arm.stop(arm)
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_an_episode_reads_back_with_h5py_and_as_numpy_arrays(self):
        path = os.path.join(self.dir, "episode.h5")
        run = subprocess.run([os.environ["QEL_TELEOP"], "--leader", "vcan0", "--follower", "vcan1",
                              "--record", path, "--duration", "1"],
                             capture_output=True, text=True, timeout=300, check=False)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("Episode: ", run.stdout)

        with h5py.File(path, "r") as f:
            found = set()
            f.visititems(lambda name, item: found.add(name) if isinstance(item, h5py.Dataset) else None)
            self.assertEqual(found, set(DATASETS))
            rows = f.attrs["rows_written"]
            self.assertGreater(rows, 50, "a second at 200 Hz, less what a loaded machine skipped")
            for name, (unit, row) in DATASETS.items():
                self.assertEqual(f[name].shape, (rows,) + row, name)
                self.assertEqual(f[name].attrs["unit"], unit, name)
                self.assertTrue(f[name].attrs["description"], name)
            for name in ("action", "observations/qpos", "observations/qvel", "observations/effort"):
                self.assertEqual(list(f[name].attrs["columns"]), JOINTS, name)
                self.assertEqual(f[name].dtype, numpy.float64, name)
            self.assertEqual(f.attrs["format"], "qel_m4 teleoperation episode")
            self.assertEqual(f.attrs["format_version"], 1)
            self.assertEqual(f.attrs["library_version"], qel_m4.__version__)
            self.assertEqual(f.attrs["robot_variant"], 0)
            self.assertEqual(f.attrs["leader_interface"], "vcan0")
            self.assertEqual(f.attrs["follower_interface"], "vcan1")
            self.assertEqual(f.attrs["cycle_rate_hz"], 200.0)
            self.assertEqual(list(f.attrs["joint_names"]), JOINTS)
            self.assertEqual(f.attrs["rows_lost"], 0)
            action = f["action"][()]
            qpos = f["observations/qpos"][()]
            leader_cycles = f["cycle/leader"][()]
            timestamp = f["timestamp"][()]

        self.assertTrue(numpy.all(numpy.diff(leader_cycles.astype(numpy.int64)) >= 1))
        self.assertEqual(timestamp[0], 0.0)
        self.assertTrue(numpy.all(numpy.diff(timestamp) > 0))
        # The follower copies the leader: it goes the pushed joint's way
        # (how far behind it trails depends on how the machine keeps up, so
        # only half of the leader's travel is asked for) and never leaves
        # the range of postures the leader has shown.
        leader_travel = action[-1, 1] - action[0, 1]
        self.assertGreater(abs(leader_travel), 0.01, "the push moved the leader's joint 2")
        self.assertGreater((qpos[-1, 1] - qpos[0, 1]) / leader_travel, 0.5)
        self.assertTrue(numpy.all(qpos[:, :6] >= action[:, :6].min(axis=0) - 0.01))
        self.assertTrue(numpy.all(qpos[:, :6] <= action[:, :6].max(axis=0) + 0.01))

        episode = qel_m4.read_recording(path)
        self.assertEqual(len(episode), rows)
        self.assertEqual(episode.units["observations/effort"], "current units")
        self.assertEqual(episode.joint_names, JOINTS)
        numpy.testing.assert_array_equal(episode["action"], action)
        numpy.testing.assert_array_equal(episode.time_s, timestamp)


if __name__ == "__main__":
    unittest.main()
