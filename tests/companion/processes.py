"""Child processes for the companion tests: the headless runner driven on its standard input and
the companion controller (python3 -m gallion.companion). Every read of their output has a
deadline, so a hang fails the test instead of blocking it."""

import json
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time

from gallion.runner import find_program


def runner_program():
    """The runner these tests start ($GALLION_HEADLESS, else the build tree's)."""
    return find_program()


class OutputLines:
    """Collects a child's output lines on a thread; `next_line` waits with a deadline."""

    def __init__(self, stream):
        self.lines = queue.Queue()
        self.seen = []
        self.thread = threading.Thread(target=self._collect, args=(stream,), daemon=True)
        self.thread.start()

    def _collect(self, stream):
        for line in stream:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)  # end of output

    def next_line(self, deadline):
        left = deadline - time.monotonic()
        if left <= 0:
            return None
        try:
            line = self.lines.get(timeout=left)
        except queue.Empty:
            return None
        if line is not None:
            self.seen.append(line)
        return line

    def wait_for(self, pattern, timeout):
        """The first new line matching the regular expression `pattern` (its match), or an
        AssertionError with everything seen when the deadline passes or the output ends."""
        deadline = time.monotonic() + timeout
        expression = re.compile(pattern)
        while True:
            line = self.next_line(deadline)
            if line is None:
                raise AssertionError(f"no line matching {pattern!r} within {timeout} s; seen:\n" +
                                     "\n".join(self.seen))
            match = expression.search(line)
            if match:
                return match


class Runner:
    """gallion-headless with its own empty settings file, driven line by line."""

    def __init__(self, binary, folder):
        settings = os.path.join(folder, "Gallion.ini")
        open(settings, "w").close()
        self.process = subprocess.Popen([binary, "--ini", settings], cwd=folder, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.output = OutputLines(self.process.stdout)

    def command(self, text, timeout=10):
        """Sends one command; returns its reply line ('ok ...' or 'error: ...')."""
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        match = self.output.wait_for(r"^(ok|error)", timeout)
        return match.string

    def ok(self, text):
        reply = self.command(text)
        if not reply.startswith("ok"):
            raise AssertionError(f"{text}: {reply}")
        return reply[3:]

    def state(self, loop, pump):
        return json.loads(self.ok(f"state {loop} {pump}"))

    def wait_for_state(self, loop, pump, condition, timeout=20):
        """Asks for the pump's state until `condition(state)` holds; the last state."""
        deadline = time.monotonic() + timeout
        while True:
            state = self.state(loop, pump)
            if condition(state):
                return state
            if time.monotonic() > deadline:
                raise AssertionError(f"pump {pump} of loop {loop} never reached the state wanted: {state}")
            time.sleep(0.1)

    def close(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.close()
                self.process.wait(timeout=20)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class Companion:
    """The companion controller as a user starts it."""

    def __init__(self, *arguments):
        self.process = subprocess.Popen([sys.executable, "-m", "gallion.companion", *arguments], text=True,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.output = OutputLines(self.process.stdout)

    def wait_for(self, pattern, timeout=30):
        return self.output.wait_for(pattern, timeout)

    def interrupt(self):
        self.process.send_signal(signal.SIGINT)

    def exit_status(self, timeout=30):
        """Waits for the end; the exit status (all output read first)."""
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("the companion did not end in time; seen:\n" + "\n".join(self.output.seen))
        self.output.thread.join(timeout=5)
        while self.output.next_line(time.monotonic() + 0.1) is not None:
            pass
        return status

    def all_output(self):
        return "\n".join(self.output.seen)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
