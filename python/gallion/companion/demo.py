"""The demonstration behind `./run.sh --demo`: Gallion with automatic filling on the demo pumps,
and the companion controller on the other end of each line, so that fillings show within a minute.

    python3 -m gallion.companion.demo --runner build/src/headless/gallion-headless --folder build/demo

    Gallion (headless runner, or the windows)          companion controllers
      Zarn loop, pumps 1-4, automatic filling  <--->   gallion.companion --protocol zarn
        on a virtual port FOLDER/zarn-line
      current loop, pumps 1-4, automatic filling <-->  gallion.companion --protocol currentloop
        on a virtual port FOLDER/cl-line

Every child runs in its own session, so Ctrl-C reaches this program alone, which then stops the
controllers first and Gallion last: no controller sees its line vanish under it.
"""

import argparse
import os
import queue
import signal
import subprocess
import sys
import threading
import time

from ..events import silence_stdout

# The folder that holds the package, so that the controllers import this same package whether it
# is installed or run from the checkout.
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PUMPS = (1, 4)
# The customers: "Heavy" automatic filling, the nozzle lifted again 10 to 29 s after hanging up.
LEVEL_HEAVY = 3
# The demonstration's own settings. A short throttle distance lets the Zarn pumps, which the
# controller gives a 10-litre preset, finish a filling in about 20 s (the customer holds the
# nozzle for a minute). The windows neither load nor save autosave.gcf.
DEMO_SETTINGS = """[Main]
AutoLoad=0
AutoSave=0
[Zarn]
ThrottleVolume=0.5
"""
ZARN_PRESET_LITRES = "10"
COMMAND_TIMEOUT_S = 15
STOP_TIMEOUT_S = 10


class Child:
    """A child process whose output lines go to the shared queue, each with its source."""

    def __init__(self, name, arguments, lines, **options):
        self.name = name
        self.process = subprocess.Popen(arguments, text=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        start_new_session=True, **options)
        self.thread = threading.Thread(target=self._forward, args=(lines,), daemon=True)
        self.thread.start()

    def _forward(self, lines):
        for line in self.process.stdout:
            lines.put((self.name, line.rstrip("\n")))
        lines.put((self.name, None))

    def running(self):
        return self.process.poll() is None

    def stop(self, how):
        """Asks the child to end (`how` is a signal or a callable), then waits; kills it when it
        does not end in time."""
        if self.running():
            how() if callable(how) else self.process.send_signal(how)
            try:
                self.process.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                show("demo", f"demo: {self.name} did not end within {STOP_TIMEOUT_S} s; killed")
                self.process.kill()
                self.process.wait()
        self.thread.join(timeout=2)
        self.process.stdout.close()


class Runner(Child):
    """The headless runner, driven with commands on its standard input."""

    def __init__(self, binary, settings, folder, lines):
        super().__init__("gallion", [binary, "--ini", settings], lines, cwd=folder, stdin=subprocess.PIPE)
        self.lines = lines

    def command(self, text):
        """Sends a command and waits for its reply; the reply text after "ok", or an error."""
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        deadline = time.monotonic() + COMMAND_TIMEOUT_S
        while time.monotonic() < deadline:
            try:
                source, line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                raise RuntimeError(f"Gallion ended while running '{text}'")
            if line.startswith("ok"):
                return line[3:]
            if line.startswith("error"):
                raise RuntimeError(f"'{text}': {line}")
        raise RuntimeError(f"no reply to '{text}' within {COMMAND_TIMEOUT_S} s")

    def quit(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.close()
        except (BrokenPipeError, ValueError):
            pass


def demo_commands(zarn_line, cl_line, traffic):
    first, last = PUMPS
    commands = [f"loop add zarn pty:{zarn_line} {first} {last}"]
    commands += [f"pump add 1 {pump}" for pump in range(first, last + 1)]
    commands += [f"loop add cl pty:{cl_line} {first} {last}"]
    commands += [f"pump add 2 {pump}" for pump in range(first, last + 1)]
    commands += [f"automate {loop} {pump} {LEVEL_HEAVY}" for loop in (1, 2) for pump in range(first, last + 1)]
    if traffic:
        commands += ["interpreted 1 on", "interpreted 2 on", "traffic on"]
    return commands


def controller_arguments(protocol, line):
    first, last = PUMPS
    arguments = [sys.executable, "-m", "gallion.companion", "--protocol", protocol, "--port", line, "--pumps", f"{first}-{last}"]
    if protocol == "zarn":
        arguments += ["--preset-volume", ZARN_PRESET_LITRES]
    return arguments


def wait_for_path(path, gallion, timeout):
    deadline = time.monotonic() + timeout
    while not os.path.exists(path):
        if not gallion.running():
            raise RuntimeError("the windows program ended before its loops were up")
        if time.monotonic() > deadline:
            raise RuntimeError(f"{path} did not appear within {timeout} s")
        time.sleep(0.1)


class Stop:
    def __init__(self):
        self.reason = None
        signal.signal(signal.SIGINT, lambda *_: self.set("Ctrl-C"))
        signal.signal(signal.SIGTERM, lambda *_: self.set("SIGTERM"))

    def set(self, reason):
        self.reason = self.reason or reason


def parse_options(arguments):
    parser = argparse.ArgumentParser(
        prog="gallion-demo", description="Gallion with automatic filling on four pumps of each protocol and the "
                                    "companion controller on each line, until Ctrl-C.")
    parser.add_argument("--runner", required=True, help="the gallion-headless program")
    parser.add_argument("--windows", help="the gallion windows program: show the loops in the windows")
    parser.add_argument("--folder", required=True, help="folder for the virtual ports and the settings")
    parser.add_argument("--fillings", type=int, default=0, help="end after this many fillings done (default: Ctrl-C)")
    parser.add_argument("--seconds", type=float, default=0, help="end after this time (default: Ctrl-C)")
    parser.add_argument("--traffic", action="store_true", help="also print the line traffic (headless)")
    return parser.parse_args(arguments)


def start_gallion(options, lines, zarn_line, cl_line):
    """Starts the loops with their automatic filling: the runner itself, or the windows program
    loading a configuration that the runner wrote. Returns the child and whether it is the runner."""
    settings = os.path.join(options.folder, "Gallion.ini")
    with open(settings, "w") as file:
        file.write(DEMO_SETTINGS)
    runner = Runner(options.runner, settings, options.folder, lines)
    for command in demo_commands(zarn_line, cl_line, options.traffic and not options.windows):
        runner.command(command)
    if not options.windows:
        return runner
    configuration = os.path.join(options.folder, "demo.gcf")
    runner.command(f"save {configuration}")
    runner.stop(runner.quit)
    windows = Child("gallion", [options.windows, "--ini", settings, "--config", configuration], lines,
                    cwd=options.folder)
    for path in (zarn_line, cl_line):
        wait_for_path(path, windows, COMMAND_TIMEOUT_S)
    return windows


def show(source, line, stop=None):
    """Prints a controller's line as it is, and Gallion's with its name; the runner's replies
    ("ok") and the end of an output (None) are not shown. When nobody reads our output any more,
    the demonstration ends."""
    if line is None or (source == "gallion" and line.startswith("ok")):
        return
    try:
        print(line if source != "gallion" else f"gallion: {line}", flush=True)
    except BrokenPipeError:
        silence_stdout()
        if stop:
            stop.set("output closed")


def show_lines(lines, children, stop, options):
    """Prints every line of the children until the end of the demonstration; the fillings done."""
    started = time.monotonic()
    fillings = 0
    while not stop.reason:
        try:
            source, line = lines.get(timeout=0.2)
        except queue.Empty:
            source, line = None, None
        if line is not None:
            show(source, line, stop)
            fillings += " filling done: " in line
        if options.fillings and fillings >= options.fillings:
            stop.set(f"{fillings} fillings done")
        if options.seconds and time.monotonic() - started >= options.seconds:
            stop.set("time over")
        ended = [child.name for child in children if not child.running()]
        if ended and lines.empty():
            stop.set(f"{ended[0]} ended")
    return fillings


def main(arguments=None) -> int:
    """Runs the demonstration with command-line `arguments` (default: the program's); the exit status."""
    options = parse_options(sys.argv[1:] if arguments is None else arguments)
    # The children run in the demonstration's folder: every path is made absolute first.
    options.folder = os.path.abspath(options.folder)
    options.runner = os.path.abspath(options.runner)
    options.windows = options.windows and os.path.abspath(options.windows)
    os.makedirs(options.folder, exist_ok=True)
    zarn_line = os.path.join(options.folder, "zarn-line")
    cl_line = os.path.join(options.folder, "cl-line")
    stop = Stop()
    lines = queue.Queue()
    controllers = []
    gallion = None
    status = 0
    try:
        gallion = start_gallion(options, lines, zarn_line, cl_line)
        show("demo", f"demo: Gallion serves Zarn pumps {PUMPS[0]}-{PUMPS[1]} on {zarn_line} and current-loop "
                     f"pumps {PUMPS[0]}-{PUMPS[1]} on {cl_line},\n"
                     f"demo: customers fill automatically (\"Heavy\"); a companion controller runs each "
                     f"line. Ctrl-C ends the demonstration.")
        environment = dict(os.environ)
        environment["PYTHONPATH"] = os.pathsep.join(
            [PACKAGE_PARENT] + [part for part in environment.get("PYTHONPATH", "").split(os.pathsep) if part])
        controllers = [Child(protocol, controller_arguments(protocol, line), lines, env=environment)
                       for protocol, line in (("zarn", zarn_line), ("currentloop", cl_line))]
        fillings = show_lines(lines, controllers + [gallion], stop, options)
        if options.fillings and fillings < options.fillings:
            status = 1
    except (RuntimeError, OSError) as error:
        show("demo", f"demo: {error}")
        status = 1
    finally:
        for controller in controllers:
            controller.stop(signal.SIGINT)
        if gallion is not None:
            gallion.stop(gallion.quit if isinstance(gallion, Runner) else signal.SIGTERM)
        while not lines.empty():
            show(*lines.get())
    show("demo", f"demo: ended ({stop.reason or 'error'})")
    return status


def console_main() -> None:
    """The `gallion-demo` console script."""
    sys.exit(main())


if __name__ == "__main__":
    sys.exit(main())
