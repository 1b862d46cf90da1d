"""The pytest fixtures of gallion.pytest_plugin, run the way a test suite runs them (pytester, each
inner run in its own process against the real runner): a filling of each protocol driven by the
package's controllers, what a failing test gets attached, and what a runner that dies or an
interrupted run leaves behind (nothing).

    PYTHONPATH=python GALLION_HEADLESS=build/src/headless/gallion-headless \\
        /usr/bin/python3 -m pytest -p pytester -p gallion.pytest_plugin tests/python/plugin_test.py
"""

import os
import tempfile
import time

import pytest

pytest_plugins = ["pytester"]

FILLINGS = '''
from gallion.serial import open_port
from gallion.zarn import ZarnController
from gallion.currentloop import CurrentLoopController


def test_a_zarn_filling(gallion_runner, zarn_loop):
    g, (loop, device) = gallion_runner, zarn_loop
    with ZarnController(open_port(device), [1]) as controller:
        pump = controller.pump(1)
        controller.run_until(lambda: pump.programmed and pump.status == 1, 20, "programmed")
        assert g.select(loop, 1, 2)
        g.lift(loop, 1)
        controller.run_until(lambda: pump.phase == "filling", 20, "the filling")
        g.sleep(300)
        g.hangup(loop, 1)
        controller.run_until(lambda: controller.fillings_completed() == 1, 20, "the end")
    state = g.state(loop, 1)
    assert g.totals(loop, 1)[2] == (state["volume"], state["amount"], "1")
    assert pump.volume_text(pump.volume) == state["volume"] != "0.00"


def test_a_current_loop_filling(gallion_runner, cl_loop):
    g, (loop, device) = gallion_runner, cl_loop
    with CurrentLoopController(open_port(device), [1]) as controller:
        pump = controller.pump(1)
        controller.run_until(lambda: g.state(loop, 1)["enabled"] == [1, 2, 3, 4, 5], 20, "programmed")
        g.lift(loop, 1, 3)
        controller.run_until(lambda: pump.phase == "filling", 20, "the filling")
        g.sleep(300)
        g.hangup(loop, 1)
        controller.run_until(lambda: controller.fillings_completed() == 1, 20, "the end")
    state = g.state(loop, 1)
    volume, amount, fillings = pump.totals[3]
    assert (pump.volume_text(volume), pump.amount_text(amount), fillings) == (state["volume"], state["amount"], 1)
'''

FAILING = '''
from gallion.serial import open_port
from gallion.zarn import ZarnController


def test_the_controller_under_test_gets_it_wrong(gallion_runner, zarn_loop):
    with ZarnController(open_port(zarn_loop.device), [1]) as controller:
        pump = controller.pump(1)
        controller.run_until(lambda: pump.presence.online, 20, "pump 1 answering")
    assert pump.status == 99, "wrong status"


def test_a_passing_neighbour(gallion_runner, zarn_loop):
    assert gallion_runner.loops()[0]["number"] == zarn_loop.number
'''

DYING_AND_INTERRUPTED = '''
import os
import signal

import pytest


def test_the_runner_dies(gallion_instance, gallion_runner, zarn_loop):
    gallion_instance.process.kill()
    gallion_runner.loops()


@pytest.mark.gallion_pumps(1, 2)
def test_interrupted(gallion_runner, cl_loop):
    gallion_runner.state(cl_loop.number, 2)  # the marker's second pump exists
    os.kill(os.getpid(), signal.SIGINT)
'''


def runners_under(folder):
    """Process ids of runners whose command line names a file under `folder`."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as file:
                words = file.read().split(b"\0")
        except OSError:
            continue
        if any(word.endswith(b"gallion-headless") for word in words) and \
                any(str(folder).encode() in word for word in words):
            found.append(int(entry))
    return found


def assert_no_runner_left(folder):
    deadline = time.monotonic() + 15
    while runners_under(folder) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert runners_under(folder) == []


def test_the_fixtures_drive_a_filling_of_each_protocol(pytester, gallion_program):
    pytester.makepyfile(test_fillings=FILLINGS)
    result = pytester.runpytest_subprocess("-p", "gallion.pytest_plugin", f"--gallion={gallion_program}", "-v", timeout=240)
    result.assert_outcomes(passed=2)
    assert_no_runner_left(pytester.path)
    # Each test had its own runner, folder and traced loop.
    traces = sorted(path.name for path in pytester.path.parent.glob("**/gallion/*.trace.jsonl"))
    assert traces == ["loop-1-cl.trace.jsonl", "loop-1-zarn.trace.jsonl"]


def test_a_failing_test_gets_the_wire_trace_and_the_runners_output(pytester, gallion_program):
    pytester.makepyfile(test_failing=FAILING)
    result = pytester.runpytest_subprocess("-p", "gallion.pytest_plugin", f"--gallion={gallion_program}", timeout=120)
    result.assert_outcomes(passed=1, failed=1)
    output = result.stdout.str()
    failure = output[output.index("test_the_controller_under_test_gets_it_wrong"):]
    assert "AssertionError: wrong status" in failure
    assert "gallion wire trace of loop 1" in failure
    # The trace holds the controller's polls and the pump's replies, both directions.
    assert '"dir":"rx","addr":"50","pump":1,"verdict":"good","hex":"50 20 FA","text":"<P1 POLL>"' in failure
    assert '"dir":"tx","addr":"50"' in failure
    assert "gallion-headless output (running)" in failure
    # Only the failing test gets them.
    assert output.count("gallion wire trace of loop") == 1
    assert_no_runner_left(pytester.path)


def test_a_runner_that_dies_and_an_interrupted_run_leave_nothing_behind(pytester, gallion_program, monkeypatch):
    pytester.makepyfile(test_dying=DYING_AND_INTERRUPTED)
    # A base folder too deep for a Unix socket: the control socket goes to a private folder in
    # TMPDIR, which must be empty again at the end.
    deep = pytester.path / ("d" * 60) / ("e" * 60)
    deep.parent.mkdir()
    with tempfile.TemporaryDirectory(prefix="gp-") as short_tmp:
        monkeypatch.setenv("TMPDIR", short_tmp)
        result = pytester.runpytest_subprocess("-p", "gallion.pytest_plugin", f"--gallion={gallion_program}",
                                               f"--basetemp={deep}", timeout=120)
        output = result.stdout.str()
        assert "Gallion closed the connection" in output and "did the program end or crash?" in output
        assert "ended during the test with status -9" in output
        assert "KeyboardInterrupt" in output
        assert result.ret == pytest.ExitCode.INTERRUPTED
        assert_no_runner_left(deep)
        assert os.listdir(short_tmp) == []
    assert list(deep.glob("**/control.sock")) == []
    assert len(list(deep.glob("**/Gallion.ini"))) == 2  # both tests had their runner
