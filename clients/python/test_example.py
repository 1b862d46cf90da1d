"""Example: a test suite drives a filling while the controller (here a stub on a pseudo-terminal)
polls the pump, then reads the totals.

    cd clients/python && python3 -m unittest -v test_example

GALLION_HEADLESS names the runner program (default: build/src/headless/gallion-headless of this
repository).
"""

import os
import socket
import subprocess
import tempfile
import time
import unittest

from gallion import Gallion, GallionError
from zarn_stub import ZarnStub

HERE = os.path.dirname(os.path.abspath(__file__))
RUNNER = os.environ.get("GALLION_HEADLESS", os.path.join(HERE, "..", "..", "build", "src", "headless",
                                                         "gallion-headless"))


def accepts_connections(path):
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(2)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


def start_gallion(folder, program=RUNNER, extra=()):
    """Starts Gallion with a control socket in `folder`; returns (process, socket path)."""
    ini = os.path.join(folder, "Gallion.ini")
    with open(ini, "w") as settings:
        # Quick pump cycles; the stub's line echoes nothing back.
        settings.write("[Zarn]\nPumpSleepMs=5\nHandleReturningMessages=0\n[CurrentLoop]\nPumpSleepMs=5\n")
    path = os.path.join(folder, "control.sock")
    process = subprocess.Popen([os.path.abspath(program), "--ini", ini, "--control", path, *extra], cwd=folder,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while not accepts_connections(path):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise RuntimeError("Gallion did not open its control socket")
        time.sleep(0.02)
    return process, path


def poll_until_answered(stub, pump, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if stub.poll_and_ack(pump, timeout=0.5) is not None:
            return True
    return False


def poll_until_status(stub, pump, status, seconds=5.0):
    """The controller polls (and acknowledges) until the pump reports `status`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ZarnStub.last_status(stub.poll_and_ack(pump, timeout=1.0)) == status:
            return True
    return False


class FillingExample(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.process, self.path = start_gallion(self.folder.name)
        self.stub = ZarnStub()
        self.gallion = Gallion(self.path, timeout=10)

    def tearDown(self):
        self.gallion.close()
        self.process.terminate()
        self.process.wait(timeout=10)
        self.stub.close()
        self.folder.cleanup()

    def test_a_filling_and_its_totals(self):
        g, stub = self.gallion, self.stub
        loop, _ = g.add_loop("zarn", stub.device, 1, 8)
        g.add_pump(loop, 2)

        # The controller finds the pump, programs nozzle 1 (price 1.00) and authorises it.
        self.assertTrue(poll_until_answered(stub, 2))
        self.assertTrue(stub.program_nozzle_one(2))
        self.assertTrue(stub.authorize(2))
        g.wait_status(loop, 2, 2, timeout_ms=5000)

        # The driver takes nozzle 1 out: fuel flows, the controller sees status 4 (filling).
        self.assertTrue(g.select(loop, 2, 1))
        g.lift(loop, 2)
        self.assertTrue(poll_until_status(stub, 2, 4))
        g.sleep(300)
        self.assertNotEqual(g.state(loop, 2)["volume"], "0.00")

        # Nozzle back: the filling is complete, and the nozzle's totals hold it.
        g.hangup(loop, 2)
        g.wait_status(loop, 2, 5, timeout_ms=5000)
        self.assertTrue(poll_until_status(stub, 2, 5))
        state = g.state(loop, 2)
        volume_total, amount_total, fillings = g.totals(loop, 2)[1]
        self.assertEqual(fillings, "1")
        self.assertEqual(volume_total, state["volume"])
        self.assertEqual(amount_total, state["amount"])

        # A wait for a status the pump does not reach ends with a time-out error.
        with self.assertRaises(GallionError) as raised:
            g.wait_status(loop, 2, 4, timeout_ms=200)
        self.assertEqual(str(raised.exception), "timeout")


if __name__ == "__main__":
    unittest.main()
