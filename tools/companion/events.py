"""One readable line per event, with the local time to the millisecond."""

import os
import sys
import time


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


class EventPrinter:
    """Prints event lines such as `12:00:01.234 zarn pump 3: nozzle 2 lifted`.

    Lines are flushed at once, so a program reading them (a test, the demonstration) sees every
    event when it happens.
    """

    def __init__(self, protocol, stream=None):
        self.protocol = protocol
        self.stream = stream or sys.stdout

    def line(self, text):
        self.stream.write(f"{timestamp()} {self.protocol}: {text}\n")
        self.stream.flush()

    def pump(self, number, text):
        self.stream.write(f"{timestamp()} {self.protocol} pump {number}: {text}\n")
        self.stream.flush()


def silence_stdout():
    """After the reader of our output went away (a pipe into `head`, say): what is still printed
    goes nowhere, so the program can end in order instead of failing on every line."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
