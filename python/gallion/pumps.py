"""What a controller of either protocol keeps about the pumps it serves, and what both protocols'
controllers do alike: the settings they program, a pump's presence on the line, its phase and
event lines, the rounds over the range."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from decimal import ROUND_DOWN, Decimal
from typing import Callable, Dict, List, Optional, Sequence, Tuple

from .events import EventPrinter, decimal_text

# Silence after which a pump counts as gone (a pump's own poll time-out is 5 s by default).
OFFLINE_AFTER_S = 3.0
# Shortest time between two polls of the same pump. A current-loop pump rebuilds its reply
# every 25 ms (by default), so polling faster would only read older figures again.
ROUND_MIN_S = 0.1

DEFAULT_PRICES = "1.50,1.60,1.70,1.80,1.90,2.00,2.10,2.20"


class CannotProgram(Exception):
    """A price or preset that the protocol's fields cannot carry (with the pump's decimals); the
    text says which."""


@dataclass
class ControllerSettings:
    """What a controller programs and how it runs.

    `nozzles` are the allowed nozzles, `prices` their unit prices in the same order (one price
    for all is expanded). `decimals` (volume, amount, price): Zarn sends them to pumps whose own
    differ; the current loop reads its figures with them (default 2, 2, 2). `preset` is
    ("volume" or "amount", value) or None. `reply_timeout` is how long to wait for a pump's
    answer in seconds, `progress_interval` the seconds between lines with a filling's running
    figures (0: none)."""

    nozzles: List[int] = field(default_factory=lambda: [1, 2, 3, 4])
    prices: List[Decimal] = field(default_factory=lambda: [Decimal(p) for p in DEFAULT_PRICES.split(",")])
    decimals: Optional[Tuple[int, int, int]] = None
    preset: Optional[Tuple[str, Decimal]] = None
    reply_timeout: float = 0.5
    progress_interval: float = 5.0

    def __post_init__(self) -> None:
        if not self.nozzles:
            raise ValueError("at least one nozzle must be allowed")
        self.nozzles = sorted(set(self.nozzles))
        self.prices = [Decimal(price) for price in self.prices]
        if len(self.prices) == 1:
            self.prices = self.prices * len(self.nozzles)
        if len(self.prices) < len(self.nozzles):
            raise ValueError(f"{len(self.nozzles)} nozzles need {len(self.nozzles)} prices (or one for all)")
        self.prices = self.prices[:len(self.nozzles)]
        if any(price < 0 for price in self.prices):
            raise ValueError("prices cannot be negative")
        if self.preset is not None and self.preset[0] not in ("volume", "amount"):
            raise ValueError("a preset is ('volume', litres) or ('amount', amount)")
        if self.reply_timeout <= 0:
            raise ValueError("the reply timeout must be above 0")

    def prices_in_units(self, price_decimals: int) -> Dict[int, int]:
        """Nozzle -> unit price in units of the price decimals (cut, never rounded up)."""
        scale = Decimal(10) ** price_decimals
        return {nozzle: int((price * scale).to_integral_value(ROUND_DOWN))
                for nozzle, price in zip(self.nozzles, self.prices)}

    def preset_in_units(self, volume_decimals: int, amount_decimals: int) -> Optional[Tuple[str, int]]:
        """("volume" or "amount", units), or None without a preset."""
        if self.preset is None:
            return None
        kind, value = self.preset
        decimals = volume_decimals if kind == "volume" else amount_decimals
        return kind, int((Decimal(value) * Decimal(10) ** decimals).to_integral_value(ROUND_DOWN))


class Presence:
    """Whether a pump answers: one line when it first answers, when it falls silent and when it is
    back."""

    def __init__(self, say: Callable[[str], None]):
        self.say = say
        self.online: Optional[bool] = None  # None before the first poll, then True or False
        self.ever_answered = False
        self.silent_since: Optional[float] = None  # monotonic time of the first unanswered poll in a row

    def answered(self) -> None:
        if not self.online:
            self.say("online")
        elif self.silent_since is not None:
            self.say("answering again")
        self.online = True
        self.ever_answered = True
        self.silent_since = None

    def silent(self) -> bool:
        """Notes a poll without answer; True when the pump has just gone offline."""
        now = time.monotonic()
        if self.silent_since is None:
            self.silent_since = now
            if self.online is None:
                self.say("no answer to polls (is the pump created, are port and protocol right?)")
                self.online = False
            elif self.online:
                self.say("no answer to a poll")
            return False
        if self.online and now - self.silent_since >= OFFLINE_AFTER_S:
            self.say(f"offline: no answer for {OFFLINE_AFTER_S:g} s")
            self.online = False
            return True
        return False


class ServedPump:
    """What a controller's record of one pump does alike in both protocols: its phase, its event
    lines and its figures as text in the pump's decimals (volume, amount, price). The protocol's
    class sets `number`, `events`, `decimals`, `phase` and `phase_since`."""

    number: int
    events: EventPrinter
    decimals: Optional[Tuple[int, int, int]]
    phase: str
    phase_since: float
    fillings_completed: int
    presence: Presence

    def enter(self, phase: str) -> None:
        self.phase = phase
        self.phase_since = time.monotonic()

    def say(self, text: str) -> None:
        self.events.pump(self.number, text)

    def volume_text(self, value: int) -> str:
        return decimal_text(value, self.decimals[0])

    def amount_text(self, value: int) -> str:
        return decimal_text(value, self.decimals[1])

    def price_text(self, value: int) -> str:
        return decimal_text(value, self.decimals[2])


class PumpRange:
    """The pumps of the range, one object of the protocol's pump class each, the counts a run ends
    on, and rounds over them. The protocol's class provides `serve(pump)` and `send_waiting(pump)`.

    Everything the controller puts on the line passes `send(pump, data)`: a test that wants to
    damage, drop or delay what the controller sends overrides that one method."""

    protocol = ""

    def __init__(self, line, pump_numbers: Sequence[int], settings: Optional[ControllerSettings],
                 events: Optional[EventPrinter], pump_class):
        self.line = line
        self.settings = settings or ControllerSettings()
        self.events = events or EventPrinter(self.protocol, stream=None)
        self.pumps = [pump_class(number, self.settings, self.events) for number in pump_numbers]

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def close(self) -> None:
        """Closes the line."""
        self.line.close()

    def send(self, pump, data: bytes) -> None:
        """Puts a block or frame for `pump` on the line."""
        self.line.write(data)

    def pump(self, number: int):
        """The record of pump `number` (KeyError for a pump outside the range)."""
        for pump in self.pumps:
            if pump.number == number:
                return pump
        raise KeyError(f"pump {number} is not served by this controller")

    def fillings_completed(self) -> int:
        return sum(pump.fillings_completed for pump in self.pumps)

    def any_pump_answered(self) -> bool:
        return any(pump.presence.ever_answered for pump in self.pumps)

    def serve_round(self) -> None:
        """One turn of every pump, at most one round per ROUND_MIN_S."""
        started = time.monotonic()
        for pump in self.pumps:
            self.serve(pump)
        rest = ROUND_MIN_S - (time.monotonic() - started)
        if rest > 0:
            time.sleep(rest)

    def run_until(self, condition: Callable[[], bool], timeout: float, what: str = "the condition") -> None:
        """Serves the pumps round after round until `condition()` holds; TimeoutError after
        `timeout` seconds, with every pump's phase and the last event lines."""
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                phases = ", ".join(f"pump {pump.number} {pump.phase}" for pump in self.pumps)
                recent = "\n".join(self.events.recent)
                raise TimeoutError(f"{what} did not come within {timeout:g} s ({phases}); last events:\n{recent}")
            self.serve_round()

    def finish(self) -> None:
        """Sends what the pumps are still owed (the Reset after a filling)."""
        for pump in self.pumps:
            self.send_waiting(pump)
