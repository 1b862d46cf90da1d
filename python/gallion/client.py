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

from __future__ import annotations

import collections
import json
import os
import socket
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple, Union

__all__ = ["Gallion", "GallionError", "GallionConnectionError", "GallionTimeout"]

# The longest path a Unix-domain socket address holds (sun_path, less its closing zero byte).
UNIX_PATH_MAX = 107


class GallionError(Exception):
    """Gallion answered ``error: ...``; the message is the exception's text."""


class GallionTimeout(GallionError):
    """A wait ended without the pump showing what was waited for; `state` is the pump's last
    snapshot (None when it could not be read)."""

    def __init__(self, message: str, state: Optional[Dict[str, Any]] = None):
        super().__init__(message)
        self.state = state


class GallionConnectionError(ConnectionError):
    """The control socket cannot be reached, or the connection to it ended; the text says which
    and what to do."""


def check_socket_path(path: str) -> None:
    """Raises ValueError when `path` is too long for a Unix-domain socket."""
    length = len(os.fsencode(path))
    if length > UNIX_PATH_MAX:
        raise ValueError(f"control socket path {path!r} is {length} bytes, longer than the {UNIX_PATH_MAX} "
                         f"a Unix-domain socket takes: choose a shorter one (for example under /tmp)")


class Gallion:
    """One connection to Gallion's control socket."""

    def __init__(self, path: str, timeout: float = 10.0):
        check_socket_path(path)
        self.path = path
        self.timeout = timeout
        self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._socket.settimeout(timeout)
        try:
            self._socket.connect(path)
        except OSError as error:
            self._socket.close()
            raise GallionConnectionError(
                f"cannot connect to Gallion's control socket {path}: {error.strerror or error}; is "
                f"gallion-headless (or gallion) running with --control {path}?") from error
        self._received = b""
        self._traffic: collections.deque = collections.deque()

    # -- the connection -------------------------------------------------------------------

    def close(self) -> None:
        self._socket.close()

    def __enter__(self) -> "Gallion":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _read_line(self, deadline: float) -> str:
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
            except OSError as error:
                raise self._closed(error.strerror or str(error)) from None
            if not chunk:
                raise self._closed("end of the connection")
            self._received += chunk
        line, _, self._received = self._received.partition(b"\n")
        return line.decode("latin-1")

    def _closed(self, reason: str) -> GallionConnectionError:
        return GallionConnectionError(f"Gallion closed the connection of {self.path} ({reason}): did the "
                                      f"program end or crash? Its output tells")

    def raw(self, line: str, timeout: Optional[float] = None) -> str:
        """Sends one command line and returns its reply line as it stands ('ok ...' or
        'error: ...'). Traffic lines that arrive meanwhile are kept for traffic()."""
        if "\n" in line:
            raise ValueError("one command per line")
        try:
            self._socket.sendall(line.encode("latin-1") + b"\n")
        except OSError as error:
            raise self._closed(error.strerror or str(error)) from None
        wait = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        while True:
            try:
                reply = self._read_line(deadline)
            except TimeoutError:
                raise TimeoutError(f"no reply to {line!r} from Gallion within {wait:g} s") from None
            if reply.startswith("traffic "):
                self._traffic.append(reply)
            else:
                return reply

    def command(self, line: str, timeout: Optional[float] = None) -> str:
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

    def traffic_on(self) -> None:
        self.command("traffic on")

    def traffic_off(self) -> None:
        self.command("traffic off")

    def traffic(self, timeout: float = 1.0) -> Iterator[Tuple[int, str]]:
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

    def add_loop(self, protocol: str, port: str, first: int, last: int,
                 spy: bool = False) -> Tuple[int, Optional[str]]:
        """Creates a loop ('zarn' or 'cl'); returns (loop number, device a controller opens or
        None for a real port)."""
        words = self.command("loop add %s %s %d %d%s" % (protocol, port, first, last, " spy" if spy else "")).split()
        return int(words[0]), (words[1] if len(words) > 1 else None)

    def remove_loop(self, loop: int) -> None:
        self.command("loop remove %d" % loop)

    def loops(self) -> List[Dict[str, Any]]:
        return json.loads(self.command("loop list"))

    def add_pump(self, loop: int, pump: int) -> None:
        self.command("pump add %d %d" % (loop, pump))

    def remove_pump(self, loop: int, pump: int) -> None:
        self.command("pump remove %d %d" % (loop, pump))

    def select(self, loop: int, pump: int, nozzle: int) -> bool:
        """Zarn: selects a nozzle; True when the controller allows it."""
        return self.command("select %d %d %d" % (loop, pump, nozzle)) == "allowed"

    def lift(self, loop: int, pump: int, nozzle: Optional[int] = None) -> None:
        self.command("lift %d %d" % (loop, pump) + ("" if nozzle is None else " %d" % nozzle))

    def hangup(self, loop: int, pump: int) -> None:
        self.command("hangup %d %d" % (loop, pump))

    def flow(self, loop: int, pump: int, litres_per_minute: Union[int, float, str]) -> None:
        self.command("flow %d %d %s" % (loop, pump, litres_per_minute))

    def inject_error(self, loop: int, pump: int, code: int, count: int = 1) -> None:
        """Simulated error, e.g. Zarn 101 (bad CRC) or current loop 240 (bad CRC)."""
        self.command("error %d %d %d %d" % (loop, pump, code, count))

    def set_totals(self, loop: int, pump: int, nozzle: int, volume: Union[str, float],
                   amount: Union[str, float], fillings: int) -> None:
        self.command("totals %d %d %d %s %s %d" % (loop, pump, nozzle, volume, amount, fillings))

    def trace(self, loop: int, path: str) -> None:
        """Starts the loop's wire trace into `path` (JSON lines)."""
        self.command("trace %d %s" % (loop, path))

    def untrace(self, loop: int) -> None:
        self.command("untrace %d" % loop)

    def state(self, loop: int, pump: int) -> Dict[str, Any]:
        """The pump's snapshot as a dict (see 'state' in the README)."""
        return json.loads(self.command("state %d %d" % (loop, pump)))

    def totals(self, loop: int, pump: int) -> Dict[int, Tuple[str, str, str]]:
        """Zarn: {nozzle: (volume_total, amount_total, fillings)} of the allowed nozzles, as texts."""
        return {n["number"]: (n["volume_total"], n["amount_total"], n["fillings"])
                for n in self.state(loop, pump)["nozzles"]}

    def wait_status(self, loop: int, pump: int, status: Union[int, str], timeout_ms: int = 5000) -> None:
        """Waits in Gallion until the pump shows the status (Zarn number, current-loop letter);
        raises GallionTimeout, with the pump's last state, when it does not in time."""
        try:
            self.command("wait %d %d status %s %d" % (loop, pump, status, timeout_ms),
                         timeout=timeout_ms / 1000.0 + self.timeout)
        except GallionError as error:
            if str(error) != "timeout":
                raise
            try:
                state: Optional[Dict[str, Any]] = self.state(loop, pump)
            except (GallionError, OSError, ValueError):
                state = None
            raise GallionTimeout(f"timeout: pump {pump} of loop {loop} did not show status {status} within "
                                 f"{timeout_ms} ms; its last state: {json.dumps(state)}", state) from None

    def sleep(self, ms: int) -> None:
        self.command("sleep %d" % ms, timeout=ms / 1000.0 + self.timeout)
