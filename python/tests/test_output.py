"""The library's output from Python: levels, folding and routing to logging."""
import logging
import os
import subprocess
import sys
import unittest

import qel_m4

PARSER_WARNING = "root link base_link has an inertia"


class Records(logging.Handler):
    def __init__(self):
        super().__init__(level=1)
        self.records = []

    def emit(self, record):
        self.records.append(record)


class Output(unittest.TestCase):
    def setUp(self):
        self.handler = Records()
        self.logger = logging.getLogger("qel_m4")
        self.logger.addHandler(self.handler)
        self.logger.setLevel(1)
        self.logger.propagate = False

    def tearDown(self):
        qel_m4.use_python_logging(False)
        qel_m4.set_output_level(qel_m4.OutputLevel.TRACE)
        qel_m4.set_repeat_interval(0)
        self.logger.removeHandler(self.handler)

    def test_levels_are_an_int_enum_and_bad_levels_are_refused(self):
        self.assertEqual(qel_m4.get_output_level(), qel_m4.OutputLevel.TRACE)
        self.assertEqual(int(qel_m4.OutputLevel.WARNING), 3)
        qel_m4.set_output_level("error")
        self.assertIs(qel_m4.get_output_level(), qel_m4.OutputLevel.ERROR)
        qel_m4.set_output_level(qel_m4.OutputLevel.INFO)
        self.assertEqual(qel_m4.get_output_level(), 2)
        for bad in ("WARN", 5, -1):
            with self.assertRaises(ValueError):
                qel_m4.set_output_level(bad)
        self.assertEqual(qel_m4.get_output_level(), qel_m4.OutputLevel.INFO)
        for bad in (-0.5, float("nan"), 1e9):
            with self.assertRaises(ValueError):
                qel_m4.set_repeat_interval(bad)

    def test_lines_reach_logging_at_their_level(self):
        qel_m4.use_python_logging(True)
        solver = qel_m4.KinematicSolver()
        with self.assertRaises(RuntimeError):
            solver.computeInverseKinematics([2.0, 2.0, 2.0, 0.0, 0.0, 0.0])
        qel_m4.flush_output()
        found = {(r.levelno, r.getMessage()) for r in self.handler.records}
        self.assertTrue(any(level == logging.WARNING and PARSER_WARNING in text
                            for level, text in found), found)
        self.assertIn((logging.ERROR, "Inverse kinematics computation failed."), found)

        # The minimum level applies before logging sees anything.
        self.handler.records.clear()
        qel_m4.set_output_level("error")
        qel_m4.KinematicSolver()
        qel_m4.flush_output()
        self.assertEqual(self.handler.records, [])

    def test_with_logging_on_nothing_reaches_the_process_streams(self):
        script = ("import qel_m4, logging, sys\n"
                  "logging.basicConfig(stream=sys.stdout, level=1, format='%(levelname)s|%(message)s')\n"
                  "qel_m4.use_python_logging(sys.argv[1] == 'on')\n"
                  "qel_m4.KinematicSolver()\n"
                  "qel_m4.flush_output()\n")
        for mode in ("on", "off"):
            run = subprocess.run([sys.executable, "-c", script, mode], capture_output=True,
                                 text=True, env=dict(os.environ), timeout=60)
            self.assertEqual(run.returncode, 0, run.stderr)
            if mode == "on":
                self.assertNotIn(PARSER_WARNING, run.stderr)
                self.assertIn("WARNING|[ WARN] The " + PARSER_WARNING, run.stdout)
            else:
                self.assertIn(PARSER_WARNING, run.stderr)
                self.assertNotIn(PARSER_WARNING, run.stdout)


if __name__ == "__main__":
    unittest.main()
