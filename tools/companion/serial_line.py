"""The controller's end of a serial line: a real port or a pseudo-terminal, raw, with deadlines.

Every read here has a deadline: a silent or dead line gives "nothing" (an empty result), never a
wait without end.
"""

import errno
import fcntl
import os
import select
import termios
import time


class PortError(Exception):
    """The port cannot be opened or used; the text says which port and why."""


def is_pseudo_terminal(path):
    """True for a pseudo-terminal's slave (/dev/pts/N), also when reached through a link."""
    return os.path.realpath(path).startswith("/dev/pts/")


class SerialLine:
    """One open serial line at 9600 baud, 8 data bits, 1 stop bit, every byte passed unchanged.

    Real ports run odd parity (bytes with a parity or framing error are dropped, so the damaged
    block or frame fails its CRC check). A pseudo-terminal has no parity: it runs 8N1, as the
    simulator's end of a virtual port does.
    """

    def __init__(self, path, parity="auto"):
        self.path = path
        self.is_virtual = is_pseudo_terminal(path)
        self.parity = ("none" if self.is_virtual else "odd") if parity == "auto" else parity
        try:
            self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError as error:
            raise PortError(f"cannot open {path}: {error.strerror}") from None
        try:
            self._lock_exclusively()
            self._make_raw()
        except Exception:
            os.close(self.fd)
            raise
        # Bytes that waited on the line before we came are not answers to anything we send.
        termios.tcflush(self.fd, termios.TCIOFLUSH)

    def _lock_exclusively(self):
        # Two controllers on one line would answer each other's pumps: refuse a port that another
        # program already holds (flock works for root too; TIOCEXCL only for other users).
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            raise PortError(f"{self.path} is in use by another program") from None
        try:
            fcntl.ioctl(self.fd, termios.TIOCEXCL)
        except OSError:
            pass  # the flock already keeps other controllers out

    def _make_raw(self):
        try:
            attributes = termios.tcgetattr(self.fd)
        except termios.error:
            raise PortError(f"{self.path} is not a serial port") from None
        iflag, oflag, cflag, lflag, _, _, control_characters = attributes
        iflag = termios.IGNBRK
        if self.parity == "odd":
            iflag |= termios.INPCK | termios.IGNPAR
        oflag = 0
        lflag = 0
        cflag = termios.CS8 | termios.CREAD | termios.CLOCAL
        if self.parity == "odd":
            cflag |= termios.PARENB | termios.PARODD
        control_characters[termios.VMIN] = 0
        control_characters[termios.VTIME] = 0
        speed = termios.B9600
        termios.tcsetattr(self.fd, termios.TCSANOW,
                          [iflag, oflag, cflag, lflag, speed, speed, control_characters])

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def _line_error(self, action, error):
        if error.errno == errno.EIO and self.is_virtual:
            # A pseudo-terminal whose other end has closed fails every read and write with EIO.
            return PortError(f"{self.path}: the virtual port was closed at its other end "
                             f"(Gallion ended, or its loop was removed)")
        return PortError(f"cannot {action} {self.path}: {error.strerror}")

    def write(self, data, timeout=2.0):
        """Writes all bytes; raises PortError when the line takes none of them for `timeout` s."""
        deadline = time.monotonic() + timeout
        view = memoryview(bytes(data))
        while view:
            try:
                written = os.write(self.fd, view)
                view = view[written:]
                continue
            except BlockingIOError:
                pass
            except OSError as error:
                raise self._line_error("write to", error) from None
            left = deadline - time.monotonic()
            if left <= 0:
                raise PortError(f"{self.path} takes no more bytes (is the other end reading?)")
            select.select([], [self.fd], [], left)

    def read_byte(self, deadline):
        """The next byte as an int, or None when the monotonic-clock deadline passes first."""
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            readable, _, _ = select.select([self.fd], [], [], left)
            if not readable:
                return None
            try:
                data = os.read(self.fd, 1)
            except BlockingIOError:
                continue
            except OSError as error:
                raise self._line_error("read from", error) from None
            if data:
                return data[0]
            # An empty read on a terminal means a hang-up: count it as silence until the deadline,
            # without spinning.
            time.sleep(min(0.05, max(0.0, deadline - time.monotonic())))

    def discard_input(self):
        """Drops bytes that arrived and were not read (the rest of a damaged reply)."""
        termios.tcflush(self.fd, termios.TCIFLUSH)
