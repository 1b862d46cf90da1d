#!/usr/bin/env python3
"""Turnaround on the pump line while a control-socket client has traffic on and stops reading.

    PYTHONPATH=python /usr/bin/python3 bench/control_stall.py RUNNER [ROUNDS]

Starts RUNNER (gallion-headless) with a control socket and a Zarn loop whose controller is played
here on a pseudo-terminal, then times ROUNDS exchanges of pump 1 (a DATA block asking for the
status, acknowledged, then a POLL: the time from the POLL to its reply) in three phases:
no control client, a client that reads its traffic lines, and (5 x ROUNDS) a client with traffic
on that never reads (its receive buffer made small). Prints the median, 99th percentile and maximum of each
phase, and whether the stalled client was disconnected. A figure, not a test: nothing fails on
speed.
"""

import os
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from gallion.pumps import ControllerSettings  # noqa: E402
from gallion.runner import GallionRunner  # noqa: E402
from gallion.serial import open_port  # noqa: E402
from gallion.zarn import ZarnController  # noqa: E402

# Quick pump cycles; a virtual port echoes nothing back.
SETTINGS = "[Zarn]\nPumpSleepMs=5\nHandleReturningMessages=0\n"


def poll_until_answered(controller, pump, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if controller.poll(pump):
            return True
    return False


def time_polls(controller, pump, rounds):
    """Each round the controller asks for the status (a DATA block, acknowledged) and then polls:
    the time from the POLL to its reply (the status DATA block, or EOT when the pump's thread has
    not answered yet) is timed. Both blocks and their acknowledgements are traffic
    lines (the feed leaves out POLL -> EOT exchanges)."""
    times = []
    for _ in range(rounds):
        if not controller.send_transactions(pump, bytes([0x01, 0x01, 0x00])):
            raise RuntimeError("a DATA block was not acknowledged")
        if not controller.poll(pump):
            raise RuntimeError("a POLL went unanswered")
        times.append(controller.last_turnaround * 1e6)
    return times


def report(name, times):
    ordered = sorted(times)
    p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
    print("%-34s median %7.0f us   p99 %7.0f us   max %7.0f us" % (name, statistics.median(ordered), p99,
                                                                   ordered[-1]))


def drain(connection, stop):
    connection.settimeout(0.2)
    while not stop.is_set():
        try:
            if not connection.recv(65536):
                return
        except socket.timeout:
            continue


def main():
    runner = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3000
    with tempfile.TemporaryDirectory() as folder:
        with GallionRunner(os.path.abspath(runner), folder, settings=SETTINGS) as gallion, \
                ZarnController(open_port("pty"), [1], ControllerSettings(reply_timeout=3.0)) as controller:
            driver, path, pump = gallion.client, gallion.socket_path, controller.pump(1)
            loop, _ = driver.add_loop("zarn", controller.line.device, 1, 8)
            driver.add_pump(loop, 1)
            driver.command("interpreted 1 off")
            if not poll_until_answered(controller, pump):
                raise RuntimeError("pump 1 does not answer")
            time_polls(controller, pump, 100)  # the pump and the line settle
            report("no control client", time_polls(controller, pump, rounds))

            reader = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            reader.connect(path)
            reader.sendall(b"traffic on\n")
            stop = threading.Event()
            reading = threading.Thread(target=drain, args=(reader, stop))
            reading.start()
            report("a client reading its traffic", time_polls(controller, pump, rounds))
            stop.set()
            reading.join()
            reader.close()

            stalled = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            stalled.connect(path)
            stalled.sendall(b"traffic on\n")
            report("a client with traffic, not reading", time_polls(controller, pump, 5 * rounds))
            # Was it cut off? Read what it holds; a closed connection ends with EOF.
            stalled.settimeout(2.0)
            received, closed = 0, False
            try:
                while True:
                    chunk = stalled.recv(65536)
                    if not chunk:
                        closed = True
                        break
                    received += len(chunk)
            except socket.timeout:
                pass
            print("stalled client: %d bytes were waiting for it; disconnected: %s" %
                  (received, "yes" if closed else "no (its output stayed under the 1 MiB bound)"))
            stalled.close()


if __name__ == "__main__":
    main()
