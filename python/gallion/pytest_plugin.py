"""pytest fixtures for testing a forecourt controller against Gallion (entry point `pytest11`,
so an installed package provides them; from a checkout: `-p gallion.pytest_plugin`).

    def test_a_filling(gallion_runner, zarn_loop):
        loop, device = zarn_loop          # give `device` to the controller under test
        ...

- `gallion_runner`: starts `gallion-headless --control` with a private settings file and folder
  under `tmp_path`, yields a connected `gallion.Gallion` client, quits the runner at teardown. A
  failing test gets the runner's output and every fixture loop's wire trace attached to its
  report. A runner that ended badly during the test fails the test at teardown.
- `zarn_loop`, `cl_loop`: a loop on a virtual port (`pty`) with pumps, traced; yields
  `(loop number, device path)`. Pumps: 1 unless the test is marked
  `@pytest.mark.gallion_pumps(1, 2)`.
- `gallion_instance`: the `gallion.runner.GallionRunner` behind `gallion_runner` (its process,
  folder, output, `connect()` for a second client).
- `gallion_settings`: the settings file's text (override it in a test module or conftest).
- `--gallion PATH`: the runner program (default: $GALLION_HEADLESS, the checkout's build tree,
  then PATH).
"""

from __future__ import annotations

import subprocess
from pathlib import Path
from typing import Dict, Iterator, List, NamedTuple

import pytest

from .client import Gallion, GallionError
from .runner import GallionRunner, RunnerError, find_program

# Lines of a wire trace attached to a failing test's report (the last ones).
TRACE_LINES_ATTACHED = 200

_RUNNERS = pytest.StashKey[GallionRunner]()
_TRACES = pytest.StashKey[Dict[int, Path]]()


class Loop(NamedTuple):
    """A fixture loop: its number in the runner and the device the controller under test opens."""

    number: int
    device: str


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("gallion", "Gallion pump simulator")
    group.addoption("--gallion", metavar="PATH", default=None,
                    help="the gallion-headless program (default: $GALLION_HEADLESS, the checkout's "
                         "build/src/headless/gallion-headless, then PATH)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "gallion_pumps(*numbers): the pumps of the zarn_loop / cl_loop fixtures")


@pytest.fixture(scope="session")
def gallion_program(request: pytest.FixtureRequest) -> str:
    """The path of the gallion-headless program the fixtures start."""
    try:
        return find_program(request.config.getoption("--gallion"))
    except RunnerError as error:
        raise pytest.UsageError(str(error)) from None


@pytest.fixture
def gallion_settings() -> str:
    """The text of the runner's private settings file (Gallion.ini); empty: the defaults."""
    return ""


@pytest.fixture
def gallion_instance(request: pytest.FixtureRequest, gallion_program: str, gallion_settings: str,
                     tmp_path: Path) -> Iterator[GallionRunner]:
    """A gallion-headless of this test's own, started in `tmp_path / "gallion"`, connected."""
    runner = GallionRunner(gallion_program, tmp_path / "gallion", settings=gallion_settings)
    try:
        runner.start()
    except RunnerError as error:
        pytest.fail(str(error), pytrace=False)
    request.node.stash[_RUNNERS] = runner
    request.node.stash[_TRACES] = {}
    try:
        yield runner
    finally:
        died = not _still_up(runner)
        status = runner.stop()
    if died and status != 0:
        pytest.fail(f"{gallion_program} ended during the test with status {status}; its output:\n"
                    f"{runner.output()}", pytrace=False)


@pytest.fixture
def gallion_runner(gallion_instance: GallionRunner) -> Gallion:
    """The control client of this test's own gallion-headless (quit at teardown)."""
    return gallion_instance.client


def _still_up(runner: GallionRunner) -> bool:
    """True when the runner answers. One that does not is given a moment to end: a program that
    has just closed its socket may not have ended yet."""
    if runner.running and runner.client is not None:
        try:
            runner.client.command("loop list", timeout=5)
            return True
        except (GallionError, OSError, TimeoutError):
            pass
    try:
        runner.process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass
    return runner.running


def _pumps_of(request: pytest.FixtureRequest) -> List[int]:
    marker = request.node.get_closest_marker("gallion_pumps")
    return list(marker.args) if marker and marker.args else [1]


def _fixture_loop(request: pytest.FixtureRequest, client: Gallion, protocol: str, last: int) -> Loop:
    number, device = client.add_loop(protocol, "pty", 1, last)
    for pump in _pumps_of(request):
        client.add_pump(number, pump)
    trace = request.node.stash[_RUNNERS].folder / f"loop-{number}-{protocol}.trace.jsonl"
    client.trace(number, str(trace))
    request.node.stash[_TRACES][number] = trace
    return Loop(number, device)


@pytest.fixture
def zarn_loop(request: pytest.FixtureRequest, gallion_runner: Gallion) -> Loop:
    """A Zarn loop for pumps 1-16 on a virtual port, its pumps created, its wire trace on."""
    return _fixture_loop(request, gallion_runner, "zarn", 16)


@pytest.fixture
def cl_loop(request: pytest.FixtureRequest, gallion_runner: Gallion) -> Loop:
    """A current-loop loop for pumps 1-8 on a virtual port, its pumps created, its wire trace on."""
    return _fixture_loop(request, gallion_runner, "cl", 8)


def _tail(path: Path, lines: int) -> str:
    try:
        text = path.read_text(errors="replace").splitlines()
    except OSError as error:
        return f"(cannot read {path}: {error.strerror})"
    shown = text[-lines:]
    return (f"(last {len(shown)} of {len(text)} lines of {path})\n" if len(text) > lines else "") + "\n".join(shown)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    outcome = yield
    report = outcome.get_result()
    if report.when != "call" or not report.failed:
        return
    runner = item.stash.get(_RUNNERS, None)
    if runner is None:
        return
    up = _still_up(runner)
    for number, path in item.stash.get(_TRACES, {}).items():
        if up:
            try:
                runner.client.untrace(number)  # the writer flushes what it holds and closes the file
            except (GallionError, OSError, TimeoutError):
                pass
        report.sections.append((f"gallion wire trace of loop {number}", _tail(path, TRACE_LINES_ATTACHED)))
    state = "running" if runner.running else f"ended with status {runner.process.returncode}"
    report.sections.append((f"gallion-headless output ({state})", runner.output() or "(none)"))
