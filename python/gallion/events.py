"""One readable line per event, with the local time to the millisecond."""

from __future__ import annotations

import collections
import os
import sys
import time
from typing import Optional, TextIO

_STDOUT = object()


def timestamp():
    now = time.time()
    return time.strftime("%H:%M:%S", time.localtime(now)) + f".{int(now * 1000) % 1000:03d}"


def decimal_text(value, decimals):
    """A whole number of units as text with `decimals` digits after the point: 1234, 2 -> 12.34."""
    sign = "-" if value < 0 else ""
    value = abs(value)
    if decimals == 0:
        return f"{sign}{value}"
    scale = 10 ** decimals
    return f"{sign}{value // scale}.{value % scale:0{decimals}d}"


def hex_text(data: bytes, limit: int = 40) -> str:
    """Bytes as upper-case hexadecimal pairs, shortened after `limit` bytes."""
    text = " ".join(f"{byte:02X}" for byte in data[:limit])
    return text + (f" ... ({len(data)} bytes)" if len(data) > limit else "")


class EventPrinter:
    """Prints event lines such as `12:00:01.234 zarn pump 3: nozzle 2 lifted`.

    Lines are flushed at once, so a program reading them (a test, the demonstration) sees every
    event when it happens. `stream` None prints nothing; either way the last `keep` lines stay
    in `recent` (for a test's failure message).
    """

    def __init__(self, protocol: str, stream: Optional[TextIO] = _STDOUT, keep: int = 50):  # type: ignore[assignment]
        self.protocol = protocol
        self.stream = sys.stdout if stream is _STDOUT else stream
        self.recent: collections.deque = collections.deque(maxlen=keep)

    def _write(self, text: str) -> None:
        self.recent.append(text)
        if self.stream is not None:
            self.stream.write(text + "\n")
            self.stream.flush()

    def line(self, text: str) -> None:
        self._write(f"{timestamp()} {self.protocol}: {text}")

    def pump(self, number: int, text: str) -> None:
        self._write(f"{timestamp()} {self.protocol} pump {number}: {text}")


def silence_stdout():
    """After the reader of our output went away (a pipe into `head`, say): what is still printed
    goes nowhere, so the program can end in order instead of failing on every line."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
