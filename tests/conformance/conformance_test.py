"""gallion-conformance against the companion controller: the companion passes every check of
each protocol (and the JUnit report says so in the right counts), and each deliberate fault of
the companion fails the check made to catch it while an ordinary filling still passes.

    PYTHONPATH=python /usr/bin/python3 -m pytest tests/conformance/conformance_test.py
"""

import concurrent.futures
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from gallion.conformance import catalogue
from gallion.runner import find_program

# Short bounds: a 2-pump loop whose pumps count themselves offline after 3 s without a poll.
QUICK = ["--pumps", "1-2", "--poll-timeout", "3", "--time-limit", "20", "--ready-within", "10"]
# The companion presets its fillings, so that one filling of final-figures runs to the preset.
COMPANION = (f"{sys.executable} -m gallion.companion --protocol {{protocol}} --port {{device}} "
             f"--pumps {{pumps}} --preset-volume 0.9")


def conformance(tmp_path, protocol, *arguments, controller=COMPANION, timeout=240):
    """Runs gallion-conformance; (exit status, its output)."""
    command = [sys.executable, "-m", "gallion.conformance", "--protocol", protocol, *QUICK,
               "--gallion", find_program(), "--traces", str(tmp_path), "--controller-cmd", controller,
               *arguments]
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=timeout)
    return done.returncode, done.stdout


def outcomes(output):
    """check name -> PASS, FAIL or SKIP, from the summary lines."""
    found = {}
    for line in output.splitlines():
        words = line.split()
        if len(words) >= 2 and words[0] in ("PASS", "FAIL", "SKIP"):
            found[words[1]] = words[0]
    return found


@pytest.mark.parametrize("protocol", ["zarn", "cl"])
def test_the_companion_passes_every_check(tmp_path, protocol):
    report = tmp_path / "report.xml"
    status, output = conformance(tmp_path, protocol, "--junit", str(report))
    names = list(catalogue(protocol))
    assert status == 0, output
    assert outcomes(output) == {name: "PASS" for name in names}, output

    suite = ElementTree.parse(report).getroot().find("testsuite")
    assert (suite.get("tests"), suite.get("failures"), suite.get("skipped")) == (str(len(names)), "0", "0")
    assert [case.get("name") for case in suite.iter("testcase")] == names
    for name in names:  # each check's trace kept beside the report, polls and replies in it
        trace = (tmp_path / f"{name}.trace.jsonl").read_text()
        assert '"dir":"rx"' in trace and '"dir":"tx"' in trace, name


@pytest.mark.parametrize("protocol", ["zarn", "cl"])
def test_each_fault_fails_its_check(tmp_path, protocol):
    """The fault fails its own check; `authorise` (a plain filling) still passes beside it, so
    the check failed for what it judges, not because the controller stopped working. The runs
    mostly wait on the line, so four go at once, each with its own runner and line."""

    def run(check):
        other = "authorise" if check.name != "authorise" else "clean-frames"
        folder = tmp_path / check.fault
        folder.mkdir()
        status, output = conformance(folder, protocol, "--check", check.name, "--check", other,
                                     "--junit", str(folder / "report.xml"),
                                     controller=COMPANION + f" --fault {check.fault}")
        if status != 1 or outcomes(output) != {check.name: "FAIL", other: "PASS"}:
            return (f"--fault {check.fault}: expected {check.name} FAIL and {other} PASS, exit 1; "
                    f"exit {status}:\n{output}")
        suite = ElementTree.parse(folder / "report.xml").getroot().find("testsuite")
        failed = [case.get("name") for case in suite.iter("testcase") if case.find("failure") is not None]
        if (suite.get("failures"), failed) != ("1", [check.name]):
            return f"--fault {check.fault}: the JUnit report has failures {suite.get('failures')}: {failed}"
        return None

    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        failures = [problem for problem in pool.map(run, catalogue(protocol).values()) if problem]
    assert not failures, "\n\n".join(failures)


def test_a_controller_that_never_answers_floods_or_exits_is_reported(tmp_path):
    # `sleep` opens no line: nothing gets programmed, every check is skipped with the reason.
    status, output = conformance(tmp_path, "zarn", "--check", "authorise", "--check", "polling",
                                 "--ready-within", "2", controller="sleep 30")
    assert status == 1, output
    assert outcomes(output) == {"authorise": "SKIP", "polling": "SKIP"}, output
    assert "the controller programming pump 1 did not happen within 2.0 s" in output

    # Random bytes flood the line: the damage is found, and the run still ends in time.
    status, output = conformance(tmp_path, "zarn", "--check", "clean-frames", "--ready-within", "2",
                                 controller="sh -c 'head -c 200000 /dev/urandom > {device}; sleep 30'")
    assert (status, outcomes(output)) == (1, {"clean-frames": "FAIL"}), output
    assert "every block or frame the controller sends has a right CRC" in output

    status, output = conformance(tmp_path, "zarn", "--check", "authorise", controller="true")
    assert (status, outcomes(output)) == (1, {"authorise": "SKIP"}), output
    assert "the controller exited with status 0 during the check" in output

    status, output = conformance(tmp_path, "zarn", controller="/nonexistent/controller")
    assert status == 2 and "cannot start the controller" in output, output
