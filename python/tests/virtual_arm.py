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


def start():
    """Starts the arm and returns its process once its motors are on the bus,
    which must be before a controller enables them."""
    sim = subprocess.Popen([os.environ["QEL_VIRTUAL_ARM"], "--can", "vcan0", "--quiet"],
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
