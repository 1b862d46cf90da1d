"""The catalogue: each check is a scenario (operator actions and injected faults over time) and
a judgement of what the controller did, read from the wire trace. A check observes one fact, so
that one fault of a controller shows in one check.

Zarn authorisation is CD1 Authorize; current-loop authorisation is a CB0 to the pump (which
authorises a pump reset with command 'A')."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

from ..zarn import transactions as zt
from .session import Context, Skip
from .wire import Frame

# Simulated errors of the runner's `error` command.
ZARN_ALARM_EMERGENCY_STOP = 9
ZARN_BAD_CRC, ZARN_WRONG_SEQUENCE, ZARN_RUBBISH = 101, 102, 103
CL_BAD_CRC, CL_RUBBISH = 240, 241
# Rubbish replies injected while no nozzle is lifted.
RUBBISH_COUNT = 3


@dataclass
class Finding:
    """One breach: the expectation in words and the trace lines that show it."""

    expectation: str
    frames: List[Frame] = field(default_factory=list)


@dataclass
class Check:
    name: str
    protocols: tuple
    observes: str
    why: str
    fault: str              # the companion fault that makes this check fail
    scenario: Callable[[Context], None]
    judge: Callable[[Context, List[Frame]], List[Finding]]


# -- what the pumps show, per protocol ---------------------------------------------------------

def zarn(context: Context) -> bool:
    return context.protocol == "zarn"


def idle(context: Context, pump: Optional[int] = None) -> bool:
    state = context.state(pump)
    if zarn(context):
        return state["status"] == 1 and not state["nozzle_out"]
    return state["state"] == "E" and not state["lifted"]


def authorised(context: Context) -> bool:
    state = context.state()
    return state["status"] in (2, 4) if zarn(context) else state["state"] in ("C", "D")


def filling(context: Context) -> bool:
    state = context.state()
    return state["status"] == 4 if zarn(context) else state["state"] == "D"


def programmed(context: Context, pump: int) -> bool:
    """Zarn: the pump reset (status 1) by the controller; current loop: prices sent (CB1)."""
    if zarn(context):
        return context.state(pump)["status"] == 1
    return any(frame.sent_by_controller and frame.pump == pump and frame.message == "1" and frame.crc_ok
               for frame in context.frames())


def ready(context: Context) -> None:
    """Waits until the controller has programmed every pump and the first one is idle."""
    for pump in context.pumps:
        context.wait_until(lambda: programmed(context, pump), f"the controller programming pump {pump}",
                           within=context.ready_within)
    context.wait_until(lambda: idle(context), f"pump {context.pump} idle", within=context.ready_within)


def lift(context: Context) -> float:
    nozzle = context.settings.nozzle
    if zarn(context):
        if not context.g.select(context.loop, context.pump, nozzle):
            raise Skip(f"the controller did not allow nozzle {nozzle} of pump {context.pump}")
        return context.act(f"lift nozzle {nozzle}", f"lift {context.loop} {context.pump}")
    # A current-loop pump takes no lift while the end of its last filling has not been reported
    # to a poll: the operator tries again.
    for _ in range(50):
        at = context.act(f"lift nozzle {nozzle}", f"lift {context.loop} {context.pump} {nozzle}")
        state = context.state()
        if state["lifted"] or state["nozzle"] == nozzle:
            return at
        context.actions.pop()
        context.sleep(0.1)
    raise Skip(f"pump {context.pump} did not take the lift of nozzle {nozzle}")


def hang_up(context: Context) -> float:
    return context.act("hang up", f"hangup {context.loop} {context.pump}")


def a_filling(context: Context, seconds: float = 0.5) -> None:
    """Lift, fuel for `seconds`, hang up, and the controller closes it (the pump idle again)."""
    lift(context)
    context.wait_until(lambda: filling(context), "the filling (the lifted nozzle authorised)")
    context.sleep(seconds)
    hang_up(context)
    context.wait_until(lambda: idle(context), "the pump reset after the filling")


def lift_unseen(context: Context, error: int, count: int) -> float:
    """Lifts the nozzle while the pump is off the line, sets the error simulation and puts the
    pump back: the first replies that show the lifted nozzle are the ones the error spoils."""
    loop, pump = context.loop, context.pump
    context.act("disconnect", f"disconnect {loop} {pump}")
    at = lift(context)
    context.act(f"error {error} x{count}", f"error {loop} {pump} {error} {count}")
    context.act("connect", f"connect {loop} {pump}")
    return at


# -- what the controller did, read from the trace ----------------------------------------------

def of_pump(frames: List[Frame], pump: int) -> List[Frame]:
    return [frame for frame in frames if frame.pump == pump]


def is_authorisation(frame: Frame) -> bool:
    if not frame.sent_by_controller or frame.verdict != "good":
        return False
    if frame.kind:
        return frame.has_cd1(zt.AUTHORIZE)
    return frame.message == "0" and frame.crc_ok


def shows_lift(frame: Frame) -> bool:
    """A reply (good, as the pump meant it) that shows a lifted nozzle."""
    if frame.sent_by_controller or frame.verdict not in ("good", "resent"):
        return False
    if frame.kind:
        return frame.nozzle_out() is True
    return frame.reply is not None and frame.reply.lifted


def next_from_controller(frames: List[Frame], after: Frame) -> Optional[Frame]:
    for frame in frames:
        if frame.number > after.number and frame.sent_by_controller:
            return frame
    return None


def action_time(context: Context, what: str, nth: int = 0) -> Optional[float]:
    times = [at for at, done in context.actions if done.startswith(what)]
    return times[nth] if len(times) > nth else None


def authorised_in_time(context: Context, frames: List[Frame], since_ms: float, what: str,
                       timed: bool = True) -> List[Finding]:
    """The first reply after `since_ms` showing the lifted nozzle, then an authorisation (within
    the bound when `timed`)."""
    mine = of_pump(frames, context.pump)
    shown = next((frame for frame in mine if frame.ms >= since_ms and shows_lift(frame)), None)
    if shown is None:
        return [Finding(f"a reply of pump {context.pump} shows the nozzle lifted {what}; none did "
                        f"(the controller did not poll it, or did not get the reply)")]
    granted = next((frame for frame in mine if frame.number > shown.number and is_authorisation(frame)), None)
    bound = context.settings.authorise_within
    if granted is None:
        within = f" within {bound:g} s of the reply that showed it" if timed else ""
        return [Finding(f"the nozzle lifted {what} is authorised{within}; it never was", [shown])]
    took = (granted.ms - shown.ms) / 1000.0
    context.notes.append(f"authorised {took:.3f} s after the reply that showed the lift")
    if timed and took > bound:
        return [Finding(f"the nozzle lifted {what} is authorised within {bound:g} s of the reply that "
                        f"showed it; it took {took:.2f} s", [shown, granted])]
    return []


# -- the checks -------------------------------------------------------------------------------

def polling_scenario(context: Context) -> None:
    ready(context)
    context.actions.append((context.now_ms(), "observe"))
    context.sleep(context.settings.poll_timeout + 1)
    context.actions.append((context.now_ms(), "end"))


def longest_gap(frames: List[Frame], start: float, end: float):
    """The longest time (ms) without a frame from the controller, with the frames around it."""
    times = [(start, None)] + [(frame.ms, frame) for frame in frames
                               if frame.sent_by_controller and start <= frame.ms <= end] + [(end, None)]
    gap, around = 0.0, []
    for (before, first), (after, second) in zip(times, times[1:]):
        if after - before > gap:
            gap, around = after - before, [frame for frame in (first, second) if frame is not None]
    return gap, around


def polling_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    start, end = action_time(context, "observe"), action_time(context, "end")
    if start is None or end is None:
        return []
    limit = context.settings.poll_timeout
    findings = []
    for pump in context.pumps:
        gap, around = longest_gap(of_pump(frames, pump), start, end)
        if gap > limit * 1000:
            findings.append(Finding(f"pump {pump} is polled at least every {limit:g} s (its poll time-out); "
                                    f"nothing was sent to it for {gap / 1000:.1f} s", around))
    return findings


def acknowledge_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    findings = []
    for pump in context.pumps:
        mine = of_pump(frames, pump)
        for frame in mine:
            if frame.sent_by_controller or frame.kind != "DATA" or not frame.crc_ok:
                continue
            if frame.verdict not in ("good", "resent"):
                continue
            answer = next_from_controller(mine, frame)
            if answer is None:
                continue  # the check ended first
            if answer.kind != "ACK" or answer.sequence != frame.sequence:
                findings.append(Finding(f"DATA reply {frame.sequence} of pump {pump} is acknowledged (ACK "
                                        f"{frame.sequence}) before anything else is sent to the pump",
                                        [frame, answer]))
    return findings[:5]


def clean_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    bad = [frame for frame in frames if frame.sent_by_controller and
           frame.verdict in ("bad_crc", "wrong_sequence", "malformed", "too_short", "overflow")]
    if not bad:
        return []
    return [Finding(f"every block or frame the controller sends has a right CRC (and, Zarn, the next "
                    f"block number); {len(bad)} did not", bad[:5])]


def bad_crc_scenario(context: Context) -> None:
    ready(context)
    lift_unseen(context, ZARN_BAD_CRC if zarn(context) else CL_BAD_CRC, 1 if zarn(context) else 2)
    context.wait_until(lambda: authorised(context), "the authorisation after the damaged reply")
    context.sleep(0.3)
    hang_up(context)
    context.wait_until(lambda: idle(context), "the pump reset after the hang-up")


def bad_crc_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    mine = of_pump(frames, context.pump)
    damaged = [frame for frame in mine if frame.verdict == "bad_crc_injected"]
    if not damaged:
        return []
    findings = []
    for frame in damaged:
        answer = next_from_controller(mine, frame)
        if answer is None:
            continue
        if zarn(context):
            if answer.kind == "ACK":
                findings.append(Finding("a reply with a bad CRC is refused (NAK) or asked for again, never "
                                        "acknowledged", [frame, answer]))
        elif answer.message != "3" or answer.command:
            findings.append(Finding("a reply with a bad CRC is ignored: the controller polls again "
                                    "(a plain CB3) instead of acting on it", [frame, answer]))
    if not any(is_authorisation(frame) and frame.number > damaged[0].number for frame in mine):
        findings.append(Finding("the lifted nozzle the damaged reply showed reaches the controller and is "
                                "authorised; it never was", damaged[:1]))
    return findings


def wrong_sequence_scenario(context: Context) -> None:
    ready(context)
    lift_unseen(context, ZARN_WRONG_SEQUENCE, 1)
    context.wait_until(lambda: authorised(context), "the authorisation after the reply out of turn")
    context.sleep(0.3)
    hang_up(context)
    context.wait_until(lambda: idle(context), "the pump reset after the hang-up")


def wrong_sequence_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    mine = of_pump(frames, context.pump)
    wrong = next((frame for frame in mine if frame.verdict == "wrong_sequence_injected"), None)
    if wrong is None:
        return []
    if any(is_authorisation(frame) and frame.number > wrong.number for frame in mine):
        return []
    return [Finding("after a reply numbered out of turn the link recovers: the lifted nozzle that reply "
                    "showed reaches the controller and is authorised; it never was", [wrong])]


def authorise_scenario(context: Context) -> None:
    ready(context)
    lift(context)
    context.wait_until(lambda: authorised(context), "the authorisation of the lifted nozzle")
    context.sleep(0.3)
    hang_up(context)
    context.wait_until(lambda: idle(context), "the pump reset after the hang-up")


def authorise_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    lifted = action_time(context, "lift")
    return [] if lifted is None else authorised_in_time(context, frames, lifted, "by the operator")


def one_authorisation_scenario(context: Context) -> None:
    ready(context)
    rubbish = ZARN_RUBBISH if zarn(context) else CL_RUBBISH
    context.act(f"error {rubbish} x{RUBBISH_COUNT}", f"error {context.loop} {context.pump} {rubbish} {RUBBISH_COUNT}")
    if zarn(context):
        # A Zarn pump replies only when something changes: a change of the selected nozzle
        # gives it replies for the rubbish to replace.
        context.g.select(context.loop, context.pump, context.settings.nozzle)
    context.sleep(1.5)
    a_filling(context)
    context.sleep(0.5)


def one_authorisation_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    windows = []
    lifts = [at for at, done in context.actions if done.startswith("lift")]
    hangs = [at for at, done in context.actions if done.startswith("hang up")]
    for index, start in enumerate(lifts):
        windows.append((start, hangs[index] if index < len(hangs) else float("inf")))
    counted = {window: [] for window in windows}
    findings = []
    for frame in of_pump(frames, context.pump):
        if not is_authorisation(frame):
            continue
        window = next((window for window in windows if window[0] <= frame.ms <= window[1]), None)
        if window is None:
            findings.append(Finding("the controller authorises only a pump whose nozzle is lifted; this "
                                    "authorisation came while every nozzle was hung up", [frame]))
        else:
            counted[window].append(frame)
    for window, granted in counted.items():
        if len(granted) > 1:
            findings.append(Finding(f"one authorisation per lifted nozzle; there were {len(granted)}", granted))
    return findings


def final_figures_scenario(context: Context) -> None:
    ready(context)
    a_filling(context)
    if zarn(context):
        # A filling an alarm stops (emergency stop): closed like one the customer ended.
        lift(context)
        context.wait_until(lambda: filling(context), "the second filling")
        context.sleep(0.3)
        context.act("alarm", f"error {context.loop} {context.pump} {ZARN_ALARM_EMERGENCY_STOP} 1")
        context.wait_until(lambda: context.state()["status"] != 4, "the end of the filling by the alarm")
        hang_up(context)
        context.wait_until(lambda: idle(context), "the pump reset after the alarm")
        if any(frame.sent_by_controller and (frame.transaction(3) or frame.transaction(4)) is not None
               for frame in context.frames()):
            # The controller presets its fillings: one runs to the preset.
            lift(context)
            context.wait_until(lambda: filling(context), "the filling to the preset")
            context.wait_until(lambda: context.state()["status"] not in (2, 4), "the preset reached")
            hang_up(context)
            context.wait_until(lambda: idle(context), "the pump reset after the preset")
    else:
        # The next authorisation resets the pump (command 'A'), which clears the figures.
        lift(context)
        context.wait_until(lambda: authorised(context), "the second authorisation")
        context.sleep(0.3)
        hang_up(context)
        context.wait_until(lambda: idle(context), "the pump idle after the second filling")


def zarn_final_figures_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    mine = of_pump(frames, context.pump)
    findings = []
    status = None
    for index, frame in enumerate(mine):
        if frame.sent_by_controller or not frame.good_data():
            continue
        ended = None
        for new in frame.statuses():
            if status == 4 and new in (5, 6):
                ended = new
            status = new
        if ended is None:
            continue
        new = ended
        # A filling ended here: its figures must come before the next Reset.
        reset = next((later for later in mine[index + 1:] if later.sent_by_controller and later.has_cd1(zt.RESET)), None)
        between = [later for later in mine[index + 1:] if reset is None or later.number < reset.number]
        figures = [later for later in between if not later.sent_by_controller and later.good_data()
                   and later.transaction(zt.DC2_FILLED) is not None and later.transaction(zt.DC3_NOZZLE) is not None]
        delivered = [block for block in figures
                     if (lambda answer: answer is None or answer.kind != "NAK")(next_from_controller(mine, block))]
        if not delivered:
            why = ("it was reset first" if reset is not None else "they never were")
            findings.append(Finding(f"the final figures of the filling that ended with status {new} (DC2 volume "
                                    f"and amount, DC3 price, asked with Return filling information) reach the "
                                    f"controller before the pump is reset; {why}",
                                    [frame] + ([reset] if reset is not None else [])))
    return findings


def cl_final_figures_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    mine = of_pump(frames, context.pump)
    findings = []
    last_reply = None
    for frame in mine:
        if not frame.sent_by_controller:
            if frame.reply is not None and frame.verdict == "good":
                last_reply = frame
            continue
        if frame.command in ("A", "I") and last_reply is not None and last_reply.reply.state == "D":
            findings.append(Finding(f"the pump is reset (command '{frame.command}', which clears the figures) "
                                    f"only after a reply showed the end of the filling with its final "
                                    f"figures; the last reply showed the filling still running",
                                    [last_reply, frame]))
    return findings[:3]


def final_figures_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    return (zarn_final_figures_judge if zarn(context) else cl_final_figures_judge)(context, frames)


def offline_scenario(context: Context) -> None:
    ready(context)
    context.act("disconnect", f"disconnect {context.loop} {context.pump}")
    context.sleep(context.settings.offline_for)
    context.act("connect", f"connect {context.loop} {context.pump}")
    context.sleep(0.5)
    lift(context)
    context.wait_until(lambda: authorised(context), "the authorisation after the pump came back")
    context.sleep(0.3)
    hang_up(context)
    context.wait_until(lambda: idle(context), "the pump reset after the hang-up")


def offline_judge(context: Context, frames: List[Frame]) -> List[Finding]:
    gone, back = action_time(context, "disconnect"), action_time(context, "connect")
    if gone is None or back is None:
        return []
    findings = []
    limit = context.settings.poll_timeout
    gap, around = longest_gap(of_pump(frames, context.pump), gone, back)
    if gap > limit * 1000:
        findings.append(Finding(f"a silent pump is still asked for at least every {limit:g} s, so that its "
                                f"return is noticed; nothing was sent to it for {gap / 1000:.1f} s", around))
    lifted = action_time(context, "lift")
    if lifted is not None:
        # How fast is the business of `authorise`; here it counts that the pump serves again.
        findings += authorised_in_time(context, frames, lifted, "after the pump came back", timed=False)
    return findings


CATALOGUE: List[Check] = [
    Check("polling", ("zarn", "cl"),
          "every configured pump gets a poll or command at least once per poll time-out (--poll-timeout)",
          "a pump that hears nothing for its poll time-out counts itself offline and stops a running filling",
          "forget-pump", polling_scenario, polling_judge),
    Check("acknowledge", ("zarn",),
          "every good DATA reply is answered by an ACK with its number before anything else goes to that pump",
          "an unacknowledged reply is sent again on the next polls and then dropped: its news is late or lost",
          "no-ack", authorise_scenario, acknowledge_judge),
    Check("clean-frames", ("zarn", "cl"),
          "no block or frame from the controller has a bad CRC (Zarn: or an out-of-turn block number) "
          "during programming and a filling",
          "the pump ignores a damaged block and refuses one out of turn: the command is delayed or lost",
          "bad-crc", authorise_scenario, clean_judge),
    Check("bad-crc-reply", ("zarn", "cl"),
          "after a reply with an injected bad CRC (the one showing a lifted nozzle) the controller refuses "
          "it (Zarn: NAK, current loop: polls again without acting on it) and still authorises the nozzle",
          "a damaged reply may say anything; its news must still come through once it is sent again",
          "ignore-crc", bad_crc_scenario, bad_crc_judge),
    Check("wrong-sequence-reply", ("zarn",),
          "after a reply with an injected wrong block number the link recovers: the lifted nozzle that reply "
          "showed is authorised",
          "a controller that loses step with the pump's numbering loses every reply after it",
          "drop-out-of-turn", wrong_sequence_scenario, wrong_sequence_judge),
    Check("authorise", ("zarn", "cl"),
          "a lifted nozzle of a programmed pump is authorised within --authorise-within seconds of the reply "
          "that showed it",
          "the customer waits at the pump with the nozzle in hand",
          "late-authorise", authorise_scenario, authorise_judge),
    Check("one-authorisation", ("zarn", "cl"),
          "rubbish replies while the nozzles are hung up bring no authorisation, and a lifted nozzle gets "
          "exactly one",
          "fuel must never flow without a customer, and a second authorisation can restart a closed filling",
          "double-authorise", one_authorisation_scenario, one_authorisation_judge),
    Check("final-figures", ("zarn", "cl"),
          "Zarn: every filling that ends (hung up, stopped by an alarm, or at the controller's preset) has its "
          "final figures (DC2, DC3) delivered before the Reset; current loop: no reset command before a reply "
          "showed the filling's end",
          "the final volume, amount and price are what the customer pays; a reset clears them",
          "skip-final-figures", final_figures_scenario, final_figures_judge),
    Check("offline-return", ("zarn", "cl"),
          "a pump taken off the line for --offline-for seconds is still asked for at least every poll time-out, "
          "and once back a lifted nozzle is authorised",
          "a pump that was switched off or unplugged comes back, and must be brought back into service",
          "drop-silent-pump", offline_scenario, offline_judge),
]


def catalogue(protocol: str) -> Dict[str, Check]:
    return {check.name: check for check in CATALOGUE if protocol in check.protocols}
