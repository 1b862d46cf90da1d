"""Drive a running Gallion (windows program or headless runner) from a test suite.

Start Gallion with ``--control PATH``, then::

    from gallion import Gallion

    with Gallion("/tmp/gallion.sock") as g:
        loop, device = g.add_loop("zarn", "pty", 1, 8)
        g.add_pump(loop, 1)
        g.select(loop, 1, 1)
        g.lift(loop, 1)
        g.wait_status(loop, 1, 4, timeout_ms=5000)
        print(g.state(loop, 1)["volume"])

Every command gets exactly one reply line: ``ok [data]`` or ``error: message``. ``command``
returns the data of an ``ok`` and raises ``GallionError`` with the message of an ``error``.
Standard library only; every read has a deadline (``timeout`` seconds).
"""

import collections
import json
import socket
import time

__all__ = ["Gallion", "GallionError"]


class GallionError(Exception):
    """Gallion answered ``error: ...``; the message is the exception's text."""


class Gallion:
    """One connection to Gallion's control socket."""

    def __init__(self, path, timeout=10.0):
        self.timeout = timeout
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.settimeout(timeout)
        try:
            self._socket.connect(path)
        except OSError:
            self._socket.close()
            raise
        self._received = b""
        self._traffic = collections.deque()

    # -- the connection -------------------------------------------------------------------

    def close(self):
        self._socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read_line(self, deadline):
        """The next line from Gallion (without its line end); TimeoutError after the deadline."""
        while b"\n" not in self._received:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no line from Gallion in time")
            self._socket.settimeout(left)
            try:
                chunk = self._socket.recv(65536)
            except socket.timeout:
                raise TimeoutError("no line from Gallion in time") from None
            if not chunk:
                raise ConnectionError("Gallion closed the connection")
            self._received += chunk
        line, _, self._received = self._received.partition(b"\n")
        return line.decode("latin-1")

    def raw(self, line, timeout=None):
        """Sends one command line and returns its reply line as it stands ('ok ...' or
        'error: ...'). Traffic lines that arrive meanwhile are kept for traffic()."""
        if "\n" in line:
            raise ValueError("one command per line")
        self._socket.sendall(line.encode("latin-1") + b"\n")
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        while True:
            reply = self._read_line(deadline)
            if reply.startswith("traffic "):
                self._traffic.append(reply)
            else:
                return reply

    def command(self, line, timeout=None):
        """Sends one command; returns the data after 'ok' ('' when none), raises GallionError."""
        reply = self.raw(line, timeout)
        if reply == "ok":
            return ""
        if reply.startswith("ok "):
            return reply[3:]
        if reply.startswith("error: "):
            raise GallionError(reply[7:])
        raise GallionError("unexpected reply: " + reply)

    # -- traffic --------------------------------------------------------------------------

    def traffic_on(self):
        self.command("traffic on")

    def traffic_off(self):
        self.command("traffic off")

    def traffic(self, timeout=1.0):
        """Yields (loop, text) for each traffic line, until none has come for `timeout` seconds."""
        while True:
            if self._traffic:
                line = self._traffic.popleft()
            else:
                try:
                    line = self._read_line(time.monotonic() + timeout)
                except TimeoutError:
                    return
                if not line.startswith("traffic "):
                    raise GallionError("a reply without a command: " + line)
            _, loop, text = (line.split(" ", 2) + [""])[:3]
            yield int(loop), text

    # -- loops and pumps ------------------------------------------------------------------

    def add_loop(self, protocol, port, first, last, spy=False):
        """Creates a loop ('zarn' or 'cl'); returns (loop number, device a controller opens or
        None for a real port)."""
        words = self.command("loop add %s %s %d %d%s" % (protocol, port, first, last, " spy" if spy else "")).split()
        return int(words[0]), (words[1] if len(words) > 1 else None)

    def remove_loop(self, loop):
        self.command("loop remove %d" % loop)

    def loops(self):
        return json.loads(self.command("loop list"))

    def add_pump(self, loop, pump):
        self.command("pump add %d %d" % (loop, pump))

    def remove_pump(self, loop, pump):
        self.command("pump remove %d %d" % (loop, pump))

    def select(self, loop, pump, nozzle):
        """Zarn: selects a nozzle; True when the controller allows it."""
        return self.command("select %d %d %d" % (loop, pump, nozzle)) == "allowed"

    def lift(self, loop, pump, nozzle=None):
        self.command("lift %d %d" % (loop, pump) + ("" if nozzle is None else " %d" % nozzle))

    def hangup(self, loop, pump):
        self.command("hangup %d %d" % (loop, pump))

    def flow(self, loop, pump, litres_per_minute):
        self.command("flow %d %d %s" % (loop, pump, litres_per_minute))

    def inject_error(self, loop, pump, code, count=1):
        """Simulated error, e.g. Zarn 101 (bad CRC) or current loop 240 (bad CRC)."""
        self.command("error %d %d %d %d" % (loop, pump, code, count))

    def set_totals(self, loop, pump, nozzle, volume, amount, fillings):
        self.command("totals %d %d %d %s %s %d" % (loop, pump, nozzle, volume, amount, fillings))

    def state(self, loop, pump):
        """The pump's snapshot as a dict (see 'state' in the README)."""
        return json.loads(self.command("state %d %d" % (loop, pump)))

    def totals(self, loop, pump):
        """Zarn: {nozzle: (volume_total, amount_total, fillings)} of the allowed nozzles, as texts."""
        return {n["number"]: (n["volume_total"], n["amount_total"], n["fillings"])
                for n in self.state(loop, pump)["nozzles"]}

    def wait_status(self, loop, pump, status, timeout_ms=5000):
        """Waits in Gallion until the pump shows the status (Zarn number, current-loop letter);
        raises GallionError('timeout') when it does not in time."""
        self.command("wait %d %d status %s %d" % (loop, pump, status, timeout_ms),
                     timeout=timeout_ms / 1000.0 + self.timeout)

    def sleep(self, ms):
        self.command("sleep %d" % ms, timeout=ms / 1000.0 + self.timeout)
