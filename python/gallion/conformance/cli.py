"""gallion-conformance: runs the catalogue of checks against a controller on a Gallion loop and
judges, from the wire, what the controller did.

    python3 -m gallion.conformance --protocol zarn --pumps 1-2 \\
        --controller-cmd "my-controller --port {device}" --junit report.xml

Exit status: 0 every check passed, 1 a check failed or was skipped (the controller never got far
enough to show it conforms), 2 the run could not start (options, the runner, the loop's port,
the controller command).
"""

from __future__ import annotations

import argparse
import sys
import time
import traceback
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass, field
from pathlib import Path
from typing import List, Optional

from ..client import GallionConnectionError, GallionError
from ..companion.cli import number_list
from ..runner import RunnerError, find_program
from .checks import Finding, catalogue
from .session import CannotStart, Session, Settings, Skip

EXIT_PASSED, EXIT_FAILED, EXIT_CANNOT_RUN = 0, 1, 2
# Trace lines shown per finding in the reports, and the characters of each on the terminal (the
# JUnit report keeps them whole).
LINES_PER_FINDING = 6
TERMINAL_LINE = 240


@dataclass
class Result:
    name: str
    outcome: str                    # "PASS", "FAIL" or "SKIP"
    reason: str = ""
    seconds: float = 0.0
    findings: List[Finding] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)
    trace: Optional[Path] = None

    def details(self, width: int = 0) -> str:
        """The findings with the trace lines that show them (numbered as in the trace file), each
        line cut to `width` characters (0: whole)."""
        parts = []
        for finding in self.findings:
            parts.append(f"expected: {finding.expectation}")
            for frame in finding.frames[:LINES_PER_FINDING]:
                line = f"  {self.trace.name if self.trace else 'trace'}:{frame.number}: {frame.line}"
                parts.append(line[:width] + " ..." if width and len(line) > width else line)
        return "\n".join(parts)


def positive(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def parse_options(arguments):
    parser = argparse.ArgumentParser(
        prog="gallion-conformance",
        description="Checks a forecourt controller on a Gallion loop: drives pumps and faults through "
                    "scenarios and judges from the wire what the controller did.")
    parser.add_argument("--protocol", choices=["zarn", "cl", "currentloop"], default="zarn")
    parser.add_argument("--port", default="pty",
                        help="the loop's port: pty (a new pseudo-terminal), pty:PATH (a link to it at PATH), "
                             "tcp-listen:[HOST:]PORT, or a serial device (default pty)")
    parser.add_argument("--pumps", type=number_list, default=[1], help="pump numbers, e.g. 1-4 (default 1)")
    parser.add_argument("--controller-cmd", metavar="COMMAND",
                        help="the controller, started for each check and stopped after it; {device}, "
                             "{pumps} and {protocol} in it are replaced. Without it, start your controller "
                             "on the device printed at the start")
    parser.add_argument("--check", action="append", default=[], metavar="NAME", help="run only this check (repeatable)")
    parser.add_argument("--list", action="store_true", help="list the checks of the protocol and end")
    parser.add_argument("--junit", metavar="FILE", help="write a JUnit XML report")
    parser.add_argument("--traces", metavar="DIR",
                        help="folder for each check's wire trace (default: beside the JUnit file, else "
                             "./gallion-conformance)")
    parser.add_argument("--time-limit", type=positive, default=60.0, metavar="S", help="per check (default 60)")
    parser.add_argument("--ready-within", type=positive, default=20.0, metavar="S",
                        help="time the controller has to program the pumps at the start of a check (default 20)")
    parser.add_argument("--authorise-within", type=positive, default=2.0, metavar="S",
                        help="bound from the reply that shows a lifted nozzle to its authorisation (default 2)")
    parser.add_argument("--poll-timeout", type=int, default=5, metavar="S",
                        help="the pumps' poll time-out, and the longest a pump may go unpolled (default 5)")
    parser.add_argument("--offline-for", type=positive, metavar="S",
                        help="how long offline-return keeps the pump off the line (default poll time-out + 1)")
    parser.add_argument("--nozzle", type=int, default=1, help="the nozzle the scenarios lift (default 1)")
    parser.add_argument("--gallion", metavar="PATH", help="the gallion-headless program")
    options = parser.parse_args(arguments)
    options.protocol = "cl" if options.protocol == "currentloop" else options.protocol
    if options.poll_timeout < 1:
        parser.error("--poll-timeout must be 1 or more")
    known = catalogue(options.protocol)
    for name in options.check:
        if name not in known:
            parser.error(f"no check {name!r} for {options.protocol}; the checks: {', '.join(known)}")
    return options


def run_check(session: Session, check) -> Result:
    started = time.monotonic()
    try:
        context = session.begin_check(check.name)
    except (GallionError, GallionConnectionError, TimeoutError) as failure:
        return Result(check.name, "FAIL", reason=f"the check could not be set up: {failure}",
                      seconds=time.monotonic() - started)
    reason, error = "", None
    try:
        check.scenario(context)
    except Skip as stop:
        reason = str(stop)
    except (GallionError, GallionConnectionError, TimeoutError) as failure:
        error = f"the runner: {failure}"
    note = session.end_check(context)
    frames = context.trace.frames
    try:
        findings = check.judge(context, frames)
    except Exception:  # a judgement that breaks must not end the run
        findings = [Finding("the judgement ran: " + traceback.format_exc().strip().splitlines()[-1])]
    if context.trace.cut:
        context.notes.append(f"the trace had more frames than are judged; only the first {len(frames)} were read")
    if note:
        context.notes.append(note)
    result = Result(check.name, "PASS", seconds=time.monotonic() - started, findings=findings,
                    notes=context.notes, trace=context.trace.path)
    if findings:
        result.outcome, result.reason = "FAIL", findings[0].expectation
    elif error:
        result.outcome, result.reason = "FAIL", error
    elif reason:
        result.outcome, result.reason = "SKIP", reason
    return result


def junit(results: List[Result], protocol: str, path: Path) -> None:
    suite = ElementTree.Element("testsuite", name=f"gallion-conformance.{protocol}", tests=str(len(results)),
                                failures=str(sum(r.outcome == "FAIL" for r in results)), errors="0",
                                skipped=str(sum(r.outcome == "SKIP" for r in results)),
                                time=f"{sum(r.seconds for r in results):.3f}")
    for result in results:
        case = ElementTree.SubElement(suite, "testcase", classname=f"gallion.conformance.{protocol}",
                                      name=result.name, time=f"{result.seconds:.3f}")
        if result.outcome == "FAIL":
            ElementTree.SubElement(case, "failure", message=result.reason).text = result.details() or result.reason
        elif result.outcome == "SKIP":
            ElementTree.SubElement(case, "skipped", message=result.reason)
        out = [f"trace: {result.trace}"] + result.notes
        ElementTree.SubElement(case, "system-out").text = "\n".join(out)
    tree = ElementTree.ElementTree(ElementTree.Element("testsuites"))
    tree.getroot().append(suite)
    path.parent.mkdir(parents=True, exist_ok=True)
    tree.write(path, encoding="utf-8", xml_declaration=True)


def main(arguments: Optional[List[str]] = None) -> int:
    options = parse_options(sys.argv[1:] if arguments is None else arguments)
    checks = catalogue(options.protocol)
    if options.list:
        for check in checks.values():
            print(f"{check.name}\n    observes: {check.observes}\n    why: {check.why}")
        return EXIT_PASSED
    chosen = [checks[name] for name in options.check] or list(checks.values())
    out_dir = Path(options.traces) if options.traces else (
        Path(options.junit).parent if options.junit else Path("gallion-conformance"))
    # The runner works in a folder of its own: it is given the traces' folder whole.
    out_dir = out_dir.resolve()
    settings = Settings(time_limit=options.time_limit, ready_within=options.ready_within,
                        authorise_within=options.authorise_within, poll_timeout=options.poll_timeout,
                        offline_for=options.offline_for, nozzle=options.nozzle)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
        program = find_program(options.gallion)
    except (OSError, RunnerError) as error:
        print(f"gallion-conformance: {error}", file=sys.stderr)
        return EXIT_CANNOT_RUN
    session = Session(program, options.protocol, options.port, options.pumps, settings,
                      options.controller_cmd, out_dir)
    results: List[Result] = []
    try:
        session.start()
        where = f"loop on {options.port}" + (f", device {session.device}" if session.device != options.port else "")
        print(f"gallion-conformance: {options.protocol} {where}, pumps {','.join(map(str, options.pumps))}", flush=True)
        if not options.controller_cmd:
            print(f"gallion-conformance: start the controller on {session.device} now", flush=True)
        for check in chosen:
            result = run_check(session, check)
            results.append(result)
            print(f"{result.outcome}  {check.name}  ({result.seconds:.1f} s)" +
                  (f": {result.reason}" if result.reason else ""), flush=True)
            if result.outcome == "FAIL" and result.findings:
                print("\n".join("      " + line for line in result.details(TERMINAL_LINE).splitlines()), flush=True)
    except CannotStart as error:
        print(f"gallion-conformance: {error}", file=sys.stderr)
        return EXIT_CANNOT_RUN
    except KeyboardInterrupt:
        print("gallion-conformance: interrupted", file=sys.stderr)
    finally:
        session.close()
    if options.junit:
        junit(results, options.protocol, Path(options.junit))
    counts = {outcome: sum(r.outcome == outcome for r in results) for outcome in ("PASS", "FAIL", "SKIP")}
    print(f"{len(results)} checks: {counts['PASS']} passed, {counts['FAIL']} failed, {counts['SKIP']} skipped; "
          f"traces in {out_dir}")
    if len(results) < len(chosen):
        return EXIT_FAILED
    return EXIT_FAILED if counts["FAIL"] or counts["SKIP"] else EXIT_PASSED


def console_main() -> None:
    sys.exit(main())
