"""The virtual arm for the controller tests: qel-virtual-arm on vcan0 (the
executable named by QEL_VIRTUAL_ARM), and a polling helper."""
import os
import subprocess
import threading
import time
import unittest


def eventually(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


class Ticker:
    """A Python thread that notes the time every `period` seconds while the
    with-block runs: a call that held the GIL all along leaves no tick
    within it."""

    def __init__(self, period):
        self.period = period
        self.ticks = []
        self._done = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._done.is_set():
            self.ticks.append(time.monotonic())
            time.sleep(self.period)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *args):
        self._done.set()
        self._thread.join()

    def between(self, start, end):
        """How many ticks fell between `start` and `end` (time.monotonic())."""
        return len([t for t in self.ticks if start < t < end])


def start(interface="vcan0", options=()):
    """Starts the arm on `interface` with further qel-virtual-arm `options`
    and returns its process once its motors are on the bus, which must be
    before a controller enables them."""
    sim = subprocess.Popen([os.environ["QEL_VIRTUAL_ARM"], "--can", interface, "--quiet", *options],
                           stderr=subprocess.PIPE, text=True)
    for line in sim.stderr:
        if "running on" in line:
            break
    else:
        raise RuntimeError("qel-virtual-arm did not start")
    # Keep draining its messages so that it never blocks on a full pipe.
    threading.Thread(target=lambda: [None for _ in sim.stderr], daemon=True).start()
    return sim


def stop(sim):
    sim.terminate()
    sim.wait(timeout=10)


class TestCase(unittest.TestCase):
    """A test case with the virtual arm running for the whole class."""

    @classmethod
    def setUpClass(cls):
        cls.sim = start()

    @classmethod
    def tearDownClass(cls):
        stop(cls.sim)
