"""The controller's end of a line, opened by name, raw, every read with a deadline.

    open_port("/dev/ttyUSB0")     a serial device (pyserial): 9600 baud, 8 data bits, odd parity
    open_port("/tmp/pump-line")   a virtual port of Gallion (a pseudo-terminal): 8N1, no parity
    open_port("pty")              a new pseudo-terminal pair: the controller keeps one end, Gallion
                                  opens `line.device` ("loop add zarn /dev/pts/N ...")
    open_port("tcp:HOST:PORT")    a TCP connection to Gallion's "tcp-listen:PORT" port

Every read here has a deadline: a silent or dead line gives "nothing" (None), never a wait without
end. A line that fails (its other end closed, a device unplugged) raises PortError, whose text says
which port and why.
"""

from __future__ import annotations

import errno
import fcntl
import os
import select
import socket
import sys
import termios
import time
import tty
from typing import Optional

BAUD = 9600


class PortError(Exception):
    """The port cannot be opened or used; the text says which port and why."""


def is_pseudo_terminal(path: str) -> bool:
    """True for a pseudo-terminal's slave (/dev/pts/N), also when reached through a link."""
    return os.path.realpath(path).startswith("/dev/pts/")


class Line:
    """One open line: bytes in and out unchanged. Subclasses provide the descriptor to wait on
    and the raw reads and writes."""

    name: str
    device: str
    is_virtual: bool

    def __init__(self) -> None:
        self._pending = bytearray()

    # What a kind of line provides.
    def fileno(self) -> int:
        raise NotImplementedError

    def _read_available(self) -> bytes:
        """Whatever can be read now (b"" for nothing); raises OSError when the line failed."""
        raise NotImplementedError

    def _write_some(self, data: memoryview) -> int:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _line_error(self, action: str, error: OSError) -> PortError:
        if error.errno == errno.EIO and self.is_virtual:
            # A pseudo-terminal whose other end has closed fails every read and write with EIO.
            return PortError(f"{self.name}: the virtual port was closed at its other end "
                             f"(Gallion ended, or its loop was removed)")
        return PortError(f"cannot {action} {self.name}: {error.strerror or error}")

    def write(self, data: bytes, timeout: float = 2.0) -> None:
        """Writes all bytes; PortError when the line takes none of them for `timeout` seconds."""
        deadline = time.monotonic() + timeout
        view = memoryview(bytes(data))
        while view:
            try:
                view = view[self._write_some(view):]
                continue
            except BlockingIOError:
                pass
            except OSError as error:
                raise self._line_error("write to", error) from None
            left = deadline - time.monotonic()
            if left <= 0:
                raise PortError(f"{self.name} takes no more bytes (is the other end reading?)")
            select.select([], [self.fileno()], [], left)

    def read_byte(self, deadline: float) -> Optional[int]:
        """The next byte as an int, or None when the monotonic-clock deadline passes first."""
        while not self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            readable, _, _ = select.select([self.fileno()], [], [], left)
            if not readable:
                return None
            try:
                data = self._read_available()
            except BlockingIOError:
                continue
            except OSError as error:
                raise self._line_error("read from", error) from None
            if data:
                self._pending += data
            else:
                # Readable but empty: a hang-up of a terminal. Count it as silence until the
                # deadline, without spinning.
                time.sleep(min(0.05, max(0.0, deadline - time.monotonic())))
        byte = self._pending[0]
        del self._pending[0]
        return byte

    def discard_input(self) -> None:
        """Drops bytes that arrived and were not read (the rest of a damaged reply)."""
        self._pending.clear()
        while True:
            readable, _, _ = select.select([self.fileno()], [], [], 0)
            if not readable:
                return
            try:
                if not self._read_available():
                    return
            except OSError:
                return


class SerialLine(Line):
    """A serial device or a virtual port's pseudo-terminal, through pyserial.

    Real ports run odd parity, and bytes with a parity or framing error are dropped (so the damaged
    block or frame fails its CRC check). A pseudo-terminal has no parity: it runs 8N1, as the
    simulator's end of a virtual port does. The port is held exclusively: two controllers on one
    line would answer each other's pumps.
    """

    def __init__(self, path: str, parity: str = "auto"):
        super().__init__()
        try:
            import serial as pyserial  # Debian's python3-serial
        except ImportError:
            raise PortError(f"cannot open {path}: pyserial is not installed for {sys.executable}; install "
                            f"Debian's python3-serial and run /usr/bin/python3 (or a venv made with "
                            f"--system-site-packages)") from None

        self.name = self.device = path
        self.is_virtual = is_pseudo_terminal(path)
        self.parity = ("none" if self.is_virtual else "odd") if parity == "auto" else parity
        if not os.path.exists(path):
            raise PortError(f"cannot open {path}: No such file or directory")
        try:
            self._port = pyserial.Serial(
                path, BAUD, bytesize=pyserial.EIGHTBITS, stopbits=pyserial.STOPBITS_ONE,
                parity=pyserial.PARITY_ODD if self.parity == "odd" else pyserial.PARITY_NONE,
                timeout=0, write_timeout=0, exclusive=True)
        except pyserial.SerialException as error:
            raise PortError(self._open_problem(error)) from None
        except ValueError as error:
            raise PortError(f"cannot open {path}: {error}") from None
        try:
            attributes = termios.tcgetattr(self._port.fd)
            attributes[0] &= ~termios.ISTRIP
            if self.parity == "odd":
                attributes[0] |= termios.INPCK | termios.IGNPAR
            termios.tcsetattr(self._port.fd, termios.TCSANOW, attributes)
            try:
                fcntl.ioctl(self._port.fd, termios.TIOCEXCL)
            except OSError:
                pass  # the lock pyserial took already keeps other controllers out
            # Bytes that waited on the line before we came are not answers to anything we send.
            self._port.reset_input_buffer()
        except (OSError, termios.error):
            self._port.close()
            raise PortError(f"{path} is not a serial port") from None

    def _open_problem(self, error: Exception) -> str:
        text = str(error)
        if "Could not exclusively lock" in text:
            return f"{self.name} is in use by another program"
        if "Inappropriate ioctl" in text or "Errno 25" in text:
            return f"{self.name} is not a serial port"
        number = getattr(error, "errno", None)
        return f"cannot open {self.name}: {os.strerror(number) if number else text}"

    def fileno(self) -> int:
        return self._port.fd

    def _read_available(self) -> bytes:
        return os.read(self._port.fd, 4096)

    def _write_some(self, data: memoryview) -> int:
        return os.write(self._port.fd, data)

    def discard_input(self) -> None:
        self._pending.clear()
        try:
            self._port.reset_input_buffer()
        except (OSError, termios.error):
            pass

    def close(self) -> None:
        if self._port.is_open:
            self._port.close()


class PtyPairLine(Line):
    """A new pseudo-terminal pair: the controller reads and writes the master side; Gallion opens
    the slave, `device` ("/dev/pts/N"), as its port. The slave is kept open here too, so the line
    stays up before Gallion opens it and after it closes it."""

    def __init__(self) -> None:
        super().__init__()
        self._master, self._slave = os.openpty()
        tty.setraw(self._slave)
        tty.setraw(self._master)
        os.set_blocking(self._master, False)
        self.device = os.ttyname(self._slave)
        self.name = f"pty ({self.device})"
        self.is_virtual = True

    def fileno(self) -> int:
        return self._master

    def _read_available(self) -> bytes:
        return os.read(self._master, 4096)

    def _write_some(self, data: memoryview) -> int:
        return os.write(self._master, data)

    def close(self) -> None:
        for name in ("_master", "_slave"):
            fd = getattr(self, name)
            if fd >= 0:
                os.close(fd)
                setattr(self, name, -1)


class TcpLine(Line):
    """A TCP connection to a loop that listens ("tcp-listen:PORT" in Gallion)."""

    def __init__(self, name: str, host: str, port: int, timeout: float = 5.0):
        super().__init__()
        self.name = self.device = name
        self.is_virtual = True
        try:
            self._socket = socket.create_connection((host, port), timeout=timeout)
        except OSError as error:
            raise PortError(f"cannot connect to {host}:{port}: {error.strerror or error}") from None
        self._socket.setblocking(False)
        self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._closed = False

    def fileno(self) -> int:
        return self._socket.fileno()

    def _read_available(self) -> bytes:
        data = self._socket.recv(4096)
        if not data:
            raise PortError(f"{self.name}: Gallion closed the connection (loop removed, or Gallion ended)")
        return data

    def _write_some(self, data: memoryview) -> int:
        return self._socket.send(data)

    def close(self) -> None:
        if not self._closed:
            self._socket.close()
            self._closed = True


def open_port(name: str, parity: str = "auto") -> Line:
    """Opens the line a controller uses: a device path, "pty" for a new pseudo-terminal pair, or
    "tcp:HOST:PORT". `parity` ("auto", "odd", "none") applies to devices: auto is none on a
    virtual port, odd on a real one. PortError when the port cannot be used."""
    if name == "pty":
        return PtyPairLine()
    if name.startswith("tcp:"):
        host, _, port = name[4:].rpartition(":")
        if not host or not port.isdigit() or not 0 < int(port) < 65536:
            raise PortError(f"{name}: expected tcp:HOST:PORT")
        return TcpLine(name, host.strip("[]"), int(port))
    if parity not in ("auto", "odd", "none"):
        raise PortError(f"parity {parity!r}: expected auto, odd or none")
    return SerialLine(name, parity)
