"""One conformance run: a gallion-headless of its own with one loop, the controller under test
(started per check when a command is given, else the user's, already on the line), and for each
check a fresh wire trace and a `Context` through which its scenario acts and waits."""

from __future__ import annotations

import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable, List, Optional, Tuple

from ..client import GallionError
from ..runner import GallionRunner, RunnerError, _end_with_parent, _load_prctl
from .wire import Trace


class CannotStart(Exception):
    """The run cannot begin (no runner, a port that cannot be made, a controller command that
    does not start); the text says why."""


class Skip(Exception):
    """The scenario could not go on: the controller never got far enough. The text says what
    did not happen."""


class Settings:
    """The thresholds and bounds of a run (seconds)."""

    def __init__(self, time_limit=60.0, ready_within=20.0, authorise_within=2.0, poll_timeout=5,
                 offline_for=None, nozzle=1):
        self.time_limit = time_limit
        self.ready_within = ready_within
        self.authorise_within = authorise_within
        self.poll_timeout = poll_timeout
        self.offline_for = offline_for if offline_for is not None else poll_timeout + 1
        self.nozzle = nozzle


def runner_settings(settings: Settings) -> str:
    """The runner's settings file: the pumps' poll time-out as the run's threshold, and no
    throttling before a preset, so that a filling to a preset takes seconds."""
    pumps = f"PollTimeout={settings.poll_timeout}\nThrottleVolume=0\nThrottleAmount=0\n"
    return f"[Zarn]\n{pumps}[CurrentLoop]\n{pumps}"


class ControllerProcess:
    """The controller under test started from `--controller-cmd` for one check, in a process
    group of its own (so that what it starts ends with it), its output in `log`."""

    def __init__(self, command: str, device: str, protocol: str, pumps: List[int], log: Path):
        words = [word.format(device=device, protocol=protocol, pumps=",".join(map(str, pumps)))
                 for word in shlex.split(command)]
        self.log = log
        _load_prctl()
        with open(log, "wb") as output:
            try:
                self.process = subprocess.Popen(words, stdin=subprocess.DEVNULL, stdout=output,
                                                stderr=subprocess.STDOUT, start_new_session=True,
                                                preexec_fn=_end_with_parent)
            except OSError as error:
                raise CannotStart(f"cannot start the controller {words[0]!r}: {error.strerror or error}") from None

    def exited(self) -> Optional[int]:
        return self.process.poll()

    def stop(self) -> Optional[int]:
        """SIGTERM to its group, SIGKILL after 5 s; its exit status (None when it was killed)."""
        status = self.process.poll()
        if status is not None:
            self._kill_group(signal.SIGKILL)  # anything it left running
            return status
        self._kill_group(signal.SIGTERM)
        try:
            return self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self._kill_group(signal.SIGKILL)
            self.process.wait()
            return None

    def _kill_group(self, number) -> None:
        try:
            os.killpg(self.process.pid, number)
        except OSError:
            pass


class Context:
    """What a check's scenario works with: the client, the loop, the pumps, the trace as it
    grows, the operator's actions with their times, and waits bounded by the check's deadline."""

    def __init__(self, session: "Session", trace_path: Path, controller: Optional[ControllerProcess],
                 ready_within: float):
        self.session = session
        self.g = session.client
        self.loop = session.loop
        self.protocol = session.protocol
        self.pumps = session.pumps
        self.pump = session.pumps[0]
        self.settings = session.settings
        self.trace = Trace(trace_path, self.protocol)
        self.controller = controller
        self.started = time.monotonic()
        self.deadline = self.started + self.settings.time_limit
        self.ready_within = ready_within
        self.actions: List[Tuple[float, str]] = []   # (ms since 1970, what the operator did)
        self.notes: List[str] = []                   # what the scenario saw, for the report

    # -- time ------------------------------------------------------------------------------

    @staticmethod
    def now_ms() -> float:
        return time.time() * 1000.0

    def act(self, what: str, command: str) -> float:
        """Carries out an operator command; the time it was given (ms since 1970)."""
        at = self.now_ms()
        self.g.command(command)
        self.actions.append((at, what))
        return at

    def _alive(self) -> None:
        if self.controller is not None:
            status = self.controller.exited()
            if status is not None:
                raise Skip(f"the controller exited with status {status} during the check")

    def sleep(self, seconds: float) -> None:
        end = min(time.monotonic() + seconds, self.deadline)
        while time.monotonic() < end:
            self._alive()
            time.sleep(min(0.05, max(0.0, end - time.monotonic())))
        if time.monotonic() >= self.deadline:
            raise Skip(f"the time limit of {self.settings.time_limit:g} s passed")

    def wait_until(self, condition: Callable[[], bool], what: str, within: Optional[float] = None) -> None:
        """Polls `condition` every 50 ms; Skip naming `what` when it does not hold in time."""
        began = time.monotonic()
        limit = self.deadline if within is None else min(self.deadline, began + within)
        while True:
            self._alive()
            if condition():
                return
            if time.monotonic() >= limit:
                raise Skip(f"{what} did not happen within {limit - began:.1f} s")
            time.sleep(0.05)

    # -- the pumps --------------------------------------------------------------------------

    def state(self, pump: Optional[int] = None) -> dict:
        return self.g.state(self.loop, self.pump if pump is None else pump)

    def frames(self):
        return self.trace.update()


class Session:
    """The runner, its loop and pumps for a whole run; `context()` for each check."""

    def __init__(self, program: str, protocol: str, port: str, pumps: List[int], settings: Settings,
                 controller_command: Optional[str], out_dir: Path):
        self.program = program
        self.protocol = protocol
        self.port = port
        self.pumps = pumps
        self.settings = settings
        self.controller_command = controller_command
        self.out_dir = out_dir
        self.folder = Path(tempfile.mkdtemp(prefix="gallion-conformance-"))
        self.runner: Optional[GallionRunner] = None
        self.client = None
        self.loop = 0
        self.device = ""
        self.checks_run = 0

    def start(self) -> None:
        self.runner = GallionRunner(self.program, self.folder / "gallion", settings=runner_settings(self.settings))
        try:
            self.client = self.runner.start()
            loop, device = self.client.add_loop("zarn" if self.protocol == "zarn" else "cl", self.port,
                                                min(self.pumps), max(self.pumps))
        except (RunnerError, GallionError, OSError) as error:
            raise CannotStart(f"cannot make the loop on {self.port}: {error}") from None
        self.loop, self.device = loop, device or self.port
        for pump in self.pumps:
            self.client.add_pump(self.loop, pump)

    def close(self) -> None:
        if self.runner is not None:
            self.runner.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def begin_check(self, name: str) -> Context:
        """A fresh start for one check: new pumps and a new controller when the run starts the
        controller; otherwise the same pumps, put back as an operator left them (nozzles hung up,
        no flow, no error simulation, connected)."""
        trace_path = self.out_dir / f"{name}.trace.jsonl"
        g = self.client
        if self.controller_command:
            for pump in self.pumps:
                g.remove_pump(self.loop, pump)
                g.add_pump(self.loop, pump)
        else:
            for pump in self.pumps:
                g.command(f"connect {self.loop} {pump}")
                g.command(f"error {self.loop} {pump} {0 if self.protocol == 'zarn' else 64} 0")
                g.hangup(self.loop, pump)
        g.trace(self.loop, str(trace_path))
        controller = None
        if self.controller_command:
            controller = ControllerProcess(self.controller_command, self.device, self.protocol, self.pumps,
                                           self.out_dir / f"{name}.controller.log")
        # The user's own controller may still be starting when the first check begins.
        ready_within = self.settings.ready_within
        if not self.controller_command and self.checks_run == 0:
            ready_within = max(ready_within, 60.0)
        self.checks_run += 1
        return Context(self, trace_path, controller, ready_within)

    def end_check(self, context: Context) -> Optional[str]:
        """Stops the check's controller and its trace; a note on how the controller ended, if
        that is worth telling."""
        note = None
        if context.controller is not None:
            early = context.controller.exited()
            context.controller.stop()
            if early is not None:
                note = f"the controller exited with status {early} before the check ended"
        try:
            self.client.untrace(self.loop)
        except GallionError as error:
            note = (note + "; " if note else "") + f"the trace: {error}"
        context.trace.update()
        return note
