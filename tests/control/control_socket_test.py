"""End to end: the Python client against the real programs' control socket, with the package's
Zarn controller on a pseudo-terminal. GALLION_HEADLESS names the runner; GALLION_BINARY (optional)
the windows program, run on Qt's offscreen platform. Every read has a deadline.

    PYTHONPATH=python GALLION_HEADLESS=build/src/headless/gallion-headless \
        /usr/bin/python3 -m pytest tests/control/control_socket_test.py
"""

import os
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest

from gallion import Gallion, GallionConnectionError, GallionError, GallionTimeout
from gallion.pumps import ControllerSettings
from gallion.runner import GallionRunner
from gallion.serial import open_port
from gallion.zarn import ZarnController

RUNNER = os.environ.get("GALLION_HEADLESS")
# Quick pump cycles; a virtual port echoes nothing back.
SETTINGS = "[Zarn]\nPumpSleepMs=5\nHandleReturningMessages=0\n[CurrentLoop]\nPumpSleepMs=5\n"
WINDOWS = os.environ.get("GALLION_BINARY")
if WINDOWS and not os.path.exists(WINDOWS):
    WINDOWS = None  # a build of selected targets only (the sanitizer builds)


def raw_connection(path):
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    connection.settimeout(5)
    connection.connect(path)
    return connection


def read_until_closed(connection):
    """Everything the connection receives until Gallion closes it (deadline: the socket's)."""
    received = b""
    while True:
        chunk = connection.recv(65536)
        if not chunk:
            return received
        received += chunk


def open_descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def serve_until(controller, pump, condition, what, seconds=10.0):
    """The controller serves the one pump (commands, then a poll) until `condition()` holds."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: not within {seconds} s; the controller's last events:\n" +
                                 "\n".join(controller.events.recent))
        controller.serve(pump)


class Program(unittest.TestCase):
    """Starts one program with a control socket per test; the Zarn controller's line is ready."""
    program = RUNNER
    extra_environment = {}

    def setUp(self):
        if not self.program:
            self.skipTest("program not given")
        self.folder = tempfile.TemporaryDirectory()
        os.environ.update(self.extra_environment)
        self.runner = GallionRunner(self.program, self.folder.name, settings=SETTINGS)
        self.runner.start()
        self.process, self.path = self.runner.process, self.runner.socket_path
        self.line = open_port("pty")
        self.controller = ZarnController(self.line, [1, 2, 3], ControllerSettings(reply_timeout=3.0))
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        self.process.send_signal(signal.SIGTERM)
        try:
            # A clean end: under the sanitizers a leak or an error makes the status non-zero.
            self.assertEqual(self.process.wait(timeout=10), 0)
        finally:
            self.runner.stop()
            self.line.close()
            self.folder.cleanup()

    def connect(self):
        client = Gallion(self.path, timeout=10)
        self.clients.append(client)
        return client

    def run_filling(self, driver, loop, number):
        """The controller programs the pump and authorises the nozzle the driver lifts; the driver
        fills and hangs up. Returns the pump's state once the controller has seen the filling's end."""
        pump = self.controller.pump(number)
        serve_until(self.controller, pump, lambda: pump.programmed and pump.status == 1, "programmed and reset")
        self.assertTrue(driver.select(loop, number, 1))
        driver.lift(loop, number)
        serve_until(self.controller, pump, lambda: pump.status == 4, "filling")
        driver.sleep(200)
        driver.hangup(loop, number)
        serve_until(self.controller, pump, lambda: pump.status == 5, "filling completed")
        return driver.state(loop, number)


class RunnerControl(Program):
    def test_two_clients_a_filling_and_a_waiter(self):
        driver, watcher = self.connect(), self.connect()
        loop, _ = driver.add_loop("zarn", self.line.device, 1, 8)
        driver.add_pump(loop, 3)
        # The watcher waits for the end of the filling: its wait must not hold the driver up.
        watcher._socket.sendall(b"wait 1 3 status 5 60000\nstate 1 3\n")
        state = self.run_filling(driver, loop, 3)
        self.assertNotEqual(state["volume"], "0.00")
        self.assertEqual(watcher.raw("loop list", timeout=10), "ok")  # the wait's reply
        watcher_state = watcher._read_line(time.monotonic() + 10)
        self.assertTrue(watcher_state.startswith('ok {"status":5,'), watcher_state)
        # ... the command after the wait came next, then the watcher's own "loop list".
        self.assertTrue(watcher._read_line(time.monotonic() + 10).startswith('ok [{"number":1'))
        volume_total, amount_total, fillings = watcher.totals(loop, 3)[1]
        self.assertEqual((volume_total, amount_total, fillings), (state["volume"], state["amount"], "1"))
        # A wait for a status the pump does not reach ends with the pump's last state.
        with self.assertRaises(GallionTimeout) as raised:
            driver.wait_status(loop, 3, 4, timeout_ms=200)
        self.assertIn("pump 3 of loop 1 did not show status 4 within 200 ms", str(raised.exception))
        self.assertEqual(raised.exception.state["status"], 5)

    def test_traffic_goes_to_subscribed_clients_only(self):
        listener, other = self.connect(), self.connect()
        loop, _ = listener.add_loop("zarn", self.line.device, 1, 8)
        listener.add_pump(loop, 1)
        listener.traffic_on()
        pump = self.controller.pump(1)
        serve_until(self.controller, pump, lambda: pump.presence.online, "pump 1 answering")
        lines = list(listener.traffic(timeout=1.0))
        self.assertTrue(lines, "no traffic line came")
        self.assertTrue(all(number == loop for number, _ in lines))
        # The other connection gets replies only.
        self.assertEqual(other.raw("loop list").split()[0], "ok")
        self.assertEqual(list(other.traffic(timeout=0.5)), [])

    def test_a_client_that_stops_reading_does_not_slow_the_line(self):
        driver = self.connect()
        loop, _ = driver.add_loop("zarn", self.line.device, 1, 8)
        driver.add_pump(loop, 1)
        pump = self.controller.pump(1)
        serve_until(self.controller, pump, lambda: pump.presence.online, "pump 1 answering")
        stalled = raw_connection(self.path)
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"traffic on\ninterpreted 1 off\n")
        # Hundreds of polls while the stalled client's traffic piles up: every one is answered
        # and the driver's commands keep their replies.
        for round_ in range(300):
            self.assertTrue(self.controller.serve(pump), "poll %d unanswered" % round_)
            if round_ % 50 == 0:
                self.assertEqual(driver.state(loop, 1)["connected"], True)
        stalled.close()

    def test_junk_overlong_and_half_lines(self):
        checker = self.connect()
        junk = raw_connection(self.path)
        junk.sendall(b"\x00\x01\xff\xfe garbage\n\x80\x81\n   \n#comment\nloop list\n")
        replies = junk.recv(4096)
        while replies.count(b"\n") < 3:
            replies += junk.recv(4096)
        self.assertEqual(replies.split(b"\n")[:3], [b"error: unknown command", b"error: unknown command", b"ok []"])

        # Over 4 KiB without a line end: an error, then the connection is closed.
        junk.sendall(b"loop list\n" + b"x" * 5000)
        self.assertEqual(read_until_closed(junk), b"ok []\nerror: line longer than 4096 bytes; closing\n")
        junk.close()

        # A half line when the client goes is never carried out.
        half = raw_connection(self.path)
        half.sendall(b"loop add zarn " + self.line.device.encode())
        half.close()
        time.sleep(0.1)
        self.assertEqual(checker.loops(), [])

        # Commands sent before the client stops sending still get their replies.
        writer = raw_connection(self.path)
        writer.sendall(b"loop list\nsleep 50\nloop list\n")
        writer.shutdown(socket.SHUT_WR)
        self.assertEqual(read_until_closed(writer), b"ok []\nok\nok []\n")
        writer.close()

    def test_hundreds_of_connections_opened_and_dropped(self):
        checker = self.connect()
        checker.loops()
        before = open_descriptors(self.process.pid)
        for round_ in range(10):
            for i in range(30):
                connection = raw_connection(self.path)
                if i % 2:
                    connection.sendall(b"loop li")
                connection.close()
            self.assertEqual(checker.loops(), [])
        # No descriptor is left behind (the count may dip below: the sanitizers' own files come
        # and go).
        deadline = time.monotonic() + 5
        while open_descriptors(self.process.pid) > before and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertLessEqual(open_descriptors(self.process.pid), before)

    def test_socket_is_private_and_a_live_one_is_not_taken_over(self):
        mode = os.lstat(self.path).st_mode
        self.assertTrue(stat.S_ISSOCK(mode))
        self.assertEqual(stat.S_IMODE(mode), 0o600)
        second = subprocess.run([self.program, "--control", self.path], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=20, text=True)
        self.assertEqual(second.returncode, 2)
        self.assertIn("in use by another running program", second.stderr)
        self.assertEqual(self.connect().loops(), [])


class RunnerRestart(unittest.TestCase):
    def test_a_stale_socket_of_a_killed_runner_is_replaced(self):
        if not RUNNER:
            self.skipTest("runner not given")
        with tempfile.TemporaryDirectory() as folder:
            first = GallionRunner(RUNNER, folder, settings=SETTINGS)
            first.start()
            first.process.kill()
            first.stop()
            path = first.socket_path
            self.assertTrue(os.path.exists(path))
            with GallionRunner(RUNNER, folder, settings=SETTINGS) as second:
                self.assertEqual(second.socket_path, path)
                second.client.command("quit")
                self.assertEqual(second.process.wait(timeout=10), 0)
            self.assertFalse(os.path.exists(path))

    def test_a_socket_nobody_listens_on_and_a_path_too_long_say_what_to_do(self):
        with tempfile.TemporaryDirectory() as folder:
            with self.assertRaises(GallionConnectionError) as raised:
                Gallion(os.path.join(folder, "nobody.sock"))
            self.assertIn("is gallion-headless (or gallion) running with --control", str(raised.exception))
            with self.assertRaises(ValueError) as raised:
                Gallion(os.path.join(folder, "x" * 120))
            self.assertIn("longer than the 107 a Unix-domain socket takes", str(raised.exception))


@unittest.skipUnless(WINDOWS, "the windows program is not built")
class WindowsControl(Program):
    program = WINDOWS
    extra_environment = {"QT_QPA_PLATFORM": "offscreen"}

    def test_a_filling_driven_in_the_windows_program(self):
        driver, reader = self.connect(), self.connect()
        loop, _ = driver.add_loop("zarn", self.line.device, 1, 8)
        driver.add_pump(loop, 2)
        reader.traffic_on()
        state = self.run_filling(driver, loop, 2)
        # The reader sees the lines the communication pane shows of the loop.
        lines = list(reader.traffic(timeout=1.0))
        self.assertTrue(lines, "no traffic line came")
        self.assertTrue(all(number == loop for number, _ in lines))
        self.assertNotEqual(state["volume"], "0.00")
        self.assertEqual(reader.totals(loop, 2)[1], (state["volume"], state["amount"], "1"))
        with self.assertRaises(GallionError):
            reader.command("pump add 1 99")


if __name__ == "__main__":
    unittest.main()
