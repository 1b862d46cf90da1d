"""The companion controller: a small forecourt controller for Gallion's pumps, for either protocol.

It polls the pumps of a range on a line, programs them (prices, allowed nozzles, decimals),
authorises a pump when a nozzle is lifted, follows the filling and prints one line per event:

    python3 -m gallion.companion --protocol zarn --port /tmp/pump-line --pumps 1-4

Exit status: 0 when the fillings asked for (--fillings, else one) completed, 1 when the run ended
first (run time, Ctrl-C), 2 when it could not run (options, port, a line that failed).
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from decimal import Decimal, InvalidOperation
from typing import List, Optional

from ..currentloop import CurrentLoopController
from ..events import EventPrinter, silence_stdout
from ..pumps import DEFAULT_PRICES, ROUND_MIN_S, CannotProgram, ControllerSettings
from ..serial import PortError, open_port
from ..zarn import ZarnController
from ..zarn import transactions as zarn_transactions
from .faults import FAULTS, faulty

PROTOCOLS = {
    # name: (controller, pump numbers, nozzles, default allowed nozzles)
    "zarn": (ZarnController, range(1, 33), range(1, zarn_transactions.HIGHEST_NOZZLE + 1), [1, 2, 3, 4]),
    "currentloop": (CurrentLoopController, range(1, 16), range(1, 6), [1, 2, 3, 4, 5]),
}

EXIT_COMPLETED = 0
EXIT_NOT_COMPLETED = 1
EXIT_CANNOT_RUN = 2


def number_list(text):
    """'1,2,5' or '1-4' or '1-3,6' as a sorted list of whole numbers."""
    numbers = set()
    try:
        for part in text.split(","):
            first, _, last = part.partition("-")
            numbers.update(range(int(first), int(last or first) + 1))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a list of numbers: {text!r}") from None
    return sorted(numbers)


def decimal_list(text):
    try:
        values = [Decimal(part) for part in text.split(",")]
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a list of prices: {text!r}") from None
    if any(value < 0 for value in values):
        raise argparse.ArgumentTypeError("prices cannot be negative")
    return values


def decimals_triple(text):
    parts = text.split(",")
    if len(parts) != 3 or not all(part.isdigit() and int(part) <= 8 for part in parts):
        raise argparse.ArgumentTypeError("decimals are three numbers 0-8: VOLUME,AMOUNT,PRICE")
    return tuple(int(part) for part in parts)


def positive_decimal(text):
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def parse_options(arguments):
    parser = argparse.ArgumentParser(
        prog="gallion-companion",
        description="A forecourt controller for Gallion's pumps: polls, programs and authorises "
                    "them and prints one line per event.")
    parser.add_argument("--protocol", required=True, choices=["zarn", "currentloop", "cl"])
    parser.add_argument("--port", required=True,
                        help="serial device or virtual port path (/tmp/pump-line), tcp:HOST:PORT for a loop "
                             "that listens, or pty for a new pseudo-terminal pair whose other end Gallion opens")
    parser.add_argument("--pumps", required=True, type=number_list, help="pump numbers, e.g. 1-4 or 1,3")
    parser.add_argument("--nozzles", type=number_list,
                        help="allowed nozzles (Zarn 1-8, default 1-4; current loop 1-5, default all)")
    parser.add_argument("--prices", type=decimal_list, default=decimal_list(DEFAULT_PRICES),
                        help="unit price of each allowed nozzle in order, or one for all "
                             f"(default {DEFAULT_PRICES})")
    parser.add_argument("--decimals", type=decimals_triple,
                        help="VOLUME,AMOUNT,PRICE decimals. Zarn: sent to pumps whose own differ (which "
                             "clears their prices and totals). Current loop: how the loop is set, for "
                             "reading its figures (default 2,2,2)")
    preset = parser.add_mutually_exclusive_group()
    preset.add_argument("--preset-volume", type=positive_decimal, metavar="LITRES",
                        help="every filling stops at this volume")
    preset.add_argument("--preset-amount", type=positive_decimal, metavar="AMOUNT",
                        help="every filling stops at this amount")
    parser.add_argument("--fillings", type=int, default=0,
                        help="end after this many completed fillings (default: run until Ctrl-C or --run-time)")
    parser.add_argument("--run-time", type=float, default=0, metavar="SECONDS", help="end after this time")
    parser.add_argument("--progress", type=float, default=5.0, metavar="SECONDS",
                        help="seconds between lines with the running figures of a filling (0: none; default 5)")
    parser.add_argument("--reply-timeout", type=float, default=0.5, metavar="SECONDS",
                        help="how long to wait for a pump's answer (default 0.5)")
    parser.add_argument("--parity", choices=["auto", "odd", "none"], default="auto",
                        help="auto: none on a virtual port (pseudo-terminal), odd on a real one")
    parser.add_argument("--fault", action="append", default=[], choices=sorted(FAULTS), metavar="FAULT",
                        help="misbehave on purpose, to see a conformance check fail (repeatable): " +
                             "; ".join(f"{name}: {text}" for name, text in FAULTS.items()))
    options = parser.parse_args(arguments)

    options.protocol = "currentloop" if options.protocol == "cl" else options.protocol
    _, pump_range, nozzle_range, default_nozzles = PROTOCOLS[options.protocol]
    if any(number not in pump_range for number in options.pumps):
        parser.error(f"{options.protocol} pump numbers are {pump_range.start}-{pump_range.stop - 1}")
    if options.nozzles and any(nozzle not in nozzle_range for nozzle in options.nozzles):
        parser.error(f"{options.protocol} nozzles this controller programs are "
                     f"{nozzle_range.start}-{nozzle_range.stop - 1}")
    if options.fillings < 0 or options.run_time < 0:
        parser.error("--fillings and --run-time cannot be negative")
    if options.reply_timeout <= 0:
        parser.error("--reply-timeout must be above 0")
    options.preset = (("volume", options.preset_volume) if options.preset_volume else
                      ("amount", options.preset_amount) if options.preset_amount else None)
    try:
        options.settings = ControllerSettings(nozzles=options.nozzles or default_nozzles, prices=options.prices,
                                              decimals=options.decimals, preset=options.preset,
                                              reply_timeout=options.reply_timeout,
                                              progress_interval=options.progress)
    except ValueError as error:
        parser.error(str(error))
    return options


class StopRequest:
    """Set by Ctrl-C (SIGINT) or SIGTERM; the run ends after the exchange in progress."""

    def __init__(self):
        self.reason = None
        signal.signal(signal.SIGINT, self.on_signal)
        signal.signal(signal.SIGTERM, self.on_signal)

    def on_signal(self, number, _frame):
        self.reason = "Ctrl-C" if number == signal.SIGINT else "SIGTERM"


def run(controller, options, stop) -> str:
    """Serves the pumps round after round until the fillings are done, the time is up or a stop
    is requested. Returns why it ended."""
    started = time.monotonic()

    def time_is_up():
        return options.run_time > 0 and time.monotonic() - started >= options.run_time

    while True:
        round_started = time.monotonic()
        for pump in controller.pumps:
            if stop.reason:
                return stop.reason
            if time_is_up():
                return "run time over"
            controller.serve(pump)
            if options.fillings and controller.fillings_completed() >= options.fillings:
                # What the pumps are still owed (the Reset after a filling) goes out first.
                controller.finish()
                return "the fillings asked for are done"
        rest = ROUND_MIN_S - (time.monotonic() - round_started)
        if rest > 0:
            time.sleep(rest)


def describe(options, line) -> str:
    settings = options.settings
    prices = " ".join(str(price) for price in settings.prices)
    text = (f"controller on {line.name}, pumps {','.join(map(str, options.pumps))}, "
            f"nozzles {','.join(map(str, settings.nozzles))}, prices {prices}")
    if settings.preset:
        text += f", preset {settings.preset[0]} {settings.preset[1]}"
    return text


def main(arguments: Optional[List[str]] = None) -> int:
    """Runs the companion with command-line `arguments` (default: the program's); the exit status."""
    options = parse_options(sys.argv[1:] if arguments is None else arguments)
    events = EventPrinter(options.protocol)
    stop = StopRequest()
    try:
        line = open_port(options.port, options.parity)
    except PortError as error:
        events.line(f"cannot use the port: {error}")
        return EXIT_CANNOT_RUN
    controller_class = PROTOCOLS[options.protocol][0]
    if options.fault:
        controller_class = faulty(controller_class, options.fault)
        events.line(f"deliberate faults: {', '.join(options.fault)}")
    controller = controller_class(line, options.pumps, options.settings, events)
    events.line(describe(options, line))
    status = EXIT_NOT_COMPLETED
    try:
        reason = run(controller, options, stop)
    except PortError as error:
        reason = f"the line failed: {error}"
        status = EXIT_CANNOT_RUN
    except CannotProgram as error:
        reason = f"cannot program the pumps: {error}"
        status = EXIT_CANNOT_RUN
    except BrokenPipeError:
        silence_stdout()
        reason = "output closed"
    finally:
        line.close()
    completed = controller.fillings_completed()
    if status != EXIT_CANNOT_RUN and completed >= max(1, options.fillings):
        status = EXIT_COMPLETED
    if not controller.any_pump_answered():
        events.line(f"no pump answered on {options.port}: check the port, the cable, the protocol and the pump numbers")
    events.line(f"stopped ({reason}): {completed} filling{'' if completed == 1 else 's'} completed")
    return status


def console_main() -> None:
    """The `gallion-companion` console script."""
    sys.exit(main())
