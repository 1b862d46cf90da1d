"""Starting and stopping `gallion-headless --control` for a test: a private folder with its own
settings file, the control socket, the runner's output in a file, and an end that leaves no
process and no file behind.

    with GallionRunner(find_program(), folder) as runner:
        client = runner.client
        loop, device = client.add_loop("zarn", "pty", 1, 8)
"""

from __future__ import annotations

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import List, Optional, Sequence

from .client import UNIX_PATH_MAX, Gallion, GallionConnectionError, GallionError

PROGRAM_NAME = "gallion-headless"
# The package's place in a checkout: python/gallion/runner.py, the build tree beside python/.
CHECKOUT_PROGRAM = Path(__file__).resolve().parents[2] / "build" / "src" / "headless" / PROGRAM_NAME


class RunnerError(RuntimeError):
    """The runner cannot be found, did not start, or ended badly; the text says what to do."""


def find_program(explicit: Optional[str] = None) -> str:
    """The gallion-headless program: `explicit` (an option such as --gallion), else
    $GALLION_HEADLESS, else the checkout's build tree (build/src/headless/), else PATH."""
    for source, path in (("--gallion", explicit), ("GALLION_HEADLESS", os.environ.get("GALLION_HEADLESS"))):
        if path:
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return os.path.abspath(path)
            raise RunnerError(f"{source} names {path!r}, which is not an executable program")
    if CHECKOUT_PROGRAM.is_file() and os.access(CHECKOUT_PROGRAM, os.X_OK):
        return str(CHECKOUT_PROGRAM)
    found = shutil.which(PROGRAM_NAME)
    if found:
        return found
    raise RunnerError(f"{PROGRAM_NAME} not found: build it (cmake --build build --target {PROGRAM_NAME}), "
                      f"put it on PATH, or name it with --gallion PATH (pytest) or GALLION_HEADLESS")


_prctl = None


def _end_with_parent() -> None:
    """In the child before exec: SIGTERM when the test process dies, however it dies (Linux)."""
    if _prctl is not None:
        _prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _load_prctl() -> None:
    global _prctl
    if _prctl is None:
        try:
            _prctl = ctypes.CDLL(None, use_errno=True).prctl
        except (OSError, AttributeError):
            _prctl = None


class GallionRunner:
    """One gallion-headless with a control socket, run in `folder` (its files, relative names of
    commands such as `trace`, and its output file `gallion-headless.out` land there).

    `settings` is the text of its private settings file (Gallion.ini in `folder`). The control
    socket is `folder/control.sock`, or, when that path is too long for a Unix socket, a socket in
    a private folder under the system's temporary folder, removed at the end."""

    def __init__(self, program: str, folder: os.PathLike, settings: str = "", arguments: Sequence[str] = (),
                 start_timeout: float = 20.0, client_timeout: float = 10.0):
        # The runner starts in `folder`: a relative path is taken from here, a bare name from PATH.
        self.program = os.path.abspath(program) if os.sep in program else program
        self.folder = Path(folder)
        self.settings = settings
        self.arguments = list(arguments)
        self.start_timeout = start_timeout
        self.client_timeout = client_timeout
        self.process: Optional[subprocess.Popen] = None
        self.client: Optional[Gallion] = None
        self.socket_path = ""
        self.output_path = self.folder / "gallion-headless.out"
        self._socket_folder: Optional[str] = None
        self.exit_status: Optional[int] = None

    # -- start --------------------------------------------------------------------------

    def _choose_socket_path(self) -> str:
        path = str(self.folder / "control.sock")
        if len(os.fsencode(path)) <= UNIX_PATH_MAX:
            return path
        self._socket_folder = tempfile.mkdtemp(prefix="gallion-sock-")
        path = os.path.join(self._socket_folder, "control.sock")
        if len(os.fsencode(path)) > UNIX_PATH_MAX:
            raise RunnerError(f"the temporary folder {self._socket_folder} is too deep for a Unix socket; "
                              f"set TMPDIR to a shorter folder")
        return path

    def start(self) -> Gallion:
        """Starts the runner and connects; the connected client (also `self.client`)."""
        self.folder.mkdir(parents=True, exist_ok=True)
        ini = self.folder / "Gallion.ini"
        ini.write_text(self.settings)
        try:
            self.socket_path = self._choose_socket_path()
            _load_prctl()
            with open(self.output_path, "wb") as output:
                self.process = subprocess.Popen(
                    [self.program, "--ini", str(ini), "--control", self.socket_path, *self.arguments],
                    cwd=self.folder, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                    preexec_fn=_end_with_parent)
        except OSError as error:
            self._remove_socket_folder()
            raise RunnerError(f"cannot start {self.program}: {error.strerror or error}") from None
        except BaseException:
            self._remove_socket_folder()
            raise
        try:
            self.client = self._connect_when_ready()
        except BaseException:
            self.stop()
            raise
        return self.client

    def _connect_when_ready(self) -> Gallion:
        deadline = time.monotonic() + self.start_timeout
        while True:
            if self.process.poll() is not None:
                raise RunnerError(f"{self.program} ended at start with status {self.process.returncode}; "
                                  f"its output:\n{self.output()}")
            if os.path.exists(self.socket_path):
                try:
                    return Gallion(self.socket_path, timeout=self.client_timeout)
                except GallionConnectionError:
                    pass  # bound, not listening yet
            if time.monotonic() > deadline:
                raise RunnerError(f"{self.program} did not open its control socket {self.socket_path} within "
                                  f"{self.start_timeout:g} s; its output:\n{self.output()}")
            time.sleep(0.02)

    def __enter__(self) -> "GallionRunner":
        if self.process is None:
            self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- while it runs ------------------------------------------------------------------

    @property
    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def connect(self) -> Gallion:
        """Another connection to the same runner (the caller closes it)."""
        return Gallion(self.socket_path, timeout=self.client_timeout)

    def output(self, limit: int = 20000) -> str:
        """What the runner printed so far (its last `limit` characters)."""
        try:
            text = self.output_path.read_text(errors="replace")
        except OSError:
            return ""
        return text if len(text) <= limit else "...\n" + text[-limit:]

    # -- stop ---------------------------------------------------------------------------

    def stop(self, timeout: float = 10.0) -> Optional[int]:
        """Ends the runner (`quit`, then SIGTERM, then SIGKILL, each with `timeout`); its exit
        status. Safe to call again."""
        if self.process is not None and self.process.poll() is None:
            try:
                if self.client is not None:
                    self.client.command("quit", timeout=timeout)
            except (GallionError, OSError, TimeoutError):
                pass
            for ask in (None, self.process.terminate, self.process.kill):
                if ask is not None:
                    ask()
                try:
                    self.process.wait(timeout=timeout)
                    break
                except subprocess.TimeoutExpired:
                    continue
        if self.process is not None:
            self.exit_status = self.process.wait()
        if self.client is not None:
            self.client.close()
            self.client = None
        self._remove_socket_folder()
        return self.exit_status

    def _remove_socket_folder(self) -> None:
        if self._socket_folder is not None:
            shutil.rmtree(self._socket_folder, ignore_errors=True)
            self._socket_folder = None


def accepts_connections(path: str) -> bool:
    """True when something listens on the Unix socket at `path`."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(2)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


__all__: List[str] = ["GallionRunner", "RunnerError", "find_program", "accepts_connections"]
