"""A current-loop forecourt controller: polls the pumps of a range with CB3, programs their prices
(CB1) and nozzles, authorises a pump when a nozzle is lifted (command 'A', then CB0), follows the
filling in the pumps' DB0 replies and counts the totals itself (the protocol carries none).

The life of one filling as this controller runs it, by the state letter of the pump's reply:

    first answer   ->  CB1 prices; CB3 command 'G' with the allowed nozzles   (state 'E')
    'F' (E, nozzle lifted)  ->  CB3 command 'A' (reset), CB0 (price control, preset,
                                allowed nozzles), which authorises            ('C')
    'D'            ->  delivering: volume and amount in every reply
    'E' or 'L'     ->  filling done (after 'L', the preset reached, command 'E' closes it)
"""

from __future__ import annotations

import time
from typing import Optional, Sequence

from ..events import EventPrinter
from ..pumps import CannotProgram, ControllerSettings, Presence, PumpRange, ServedPump
from . import link

IDLE = "idle"
AUTHORISING = "authorising"
AUTHORISED = "authorised"
FILLING = "filling"

# Price control '1': the unit price is the nozzle's base price (CB1), without the discounts and
# surcharges of CB2.
PRICE_CONTROL_BASE = ord("1")
NO_COMMAND = ord("0")
# Bits 0-4 of a flags byte block nozzles 1-5, bit 5 marks a volume preset. Bit 6 is always set
# so that the byte is never STX or ETX.
FLAGS_BASE = 0x40
FLAG_VOLUME_PRESET = 0x20
# The largest preset a CB0 carries: five digits and a count of hundred thousands (0-15).
LARGEST_PRESET = 15 * 100000 + 99999
LARGEST_PRICE = 9999
NOZZLES = 5
PHASE_PATIENCE_S = 5.0

# The alarm bits of a reply's status byte, by the names the simulator gives them.
STATUS_ERRORS = {0x04: "Double pulse error", 0x08: "Pulser current error",
                 0x10: "Communication error", 0x20: "CPU reset"}


def pump_position(address):
    """Index of a pump's own character in the per-pump part of CB0 and CB3 (pump 1 at 5)."""
    return address - 75


class Reply:
    """The fields of a pump's DB0 reply."""

    def __init__(self, frame):
        self.price = link.read_digits(frame, 5, 4)
        nozzle_character = frame[9]
        self.nozzle = nozzle_character - ord("0") + 1 if ord("0") <= nozzle_character <= ord("4") else 0
        self.volume = link.read_digits(frame, 10, 6)
        self.amount = link.read_digits(frame, 16, 6)
        letter = chr(frame[22])
        # Idle ('E') and reset ('A') are reported one letter up while a nozzle is lifted.
        self.lifted = letter in ("F", "B")
        self.state = {"F": "E", "B": "A"}.get(letter, letter)
        self.status_byte = frame[23]


class CurrentLoopPump(ServedPump):
    """What the controller knows about one pump, and the frames it has still to send it."""

    def __init__(self, number, settings, events):
        self.number = number
        self.address = link.pump_address(number)
        self.settings = settings
        self.events = events
        self.decimals = settings.decimals or (2, 2, 2)
        self.outgoing = []          # frames waiting to be sent, each with whether it gets a reply
        self.fillings_completed = 0
        self.totals = {}            # nozzle -> [volume, amount, fillings] counted here
        self.presence = Presence(self.say)
        self.forget()

    def forget(self):
        self.programmed = False
        self.phase = IDLE
        self.phase_since = time.monotonic()
        self.filling_nozzle = 0
        self.status_byte = 0x40
        self.refused_nozzle = 0     # a lifted nozzle that is not allowed, reported once
        self.last_progress = 0.0

    # --- frames the controller sends ----------------------------------------------------------

    def flags_byte(self, preset_is_volume=False):
        flags = FLAGS_BASE | (FLAG_VOLUME_PRESET if preset_is_volume else 0)
        for nozzle in range(1, NOZZLES + 1):
            if nozzle not in self.settings.nozzles:
                flags |= 1 << (nozzle - 1)
        return flags

    def cb3(self, command=NO_COMMAND, set_flags=False):
        """Command (or none) and poll; with `set_flags` the frame also sets the allowed nozzles."""
        frame = link.new_frame(self.address, "3")
        frame[pump_position(self.address)] = command
        if set_flags:
            frame[21] = self.flags_byte()
            frame[22] = self.address
        frame[26] = self.address
        return link.finish_frame(frame)

    def cb1_prices(self, prices):
        frame = link.new_frame(self.address, "1")
        for nozzle in range(1, NOZZLES + 1):
            link.put_digits(frame, 5 + 4 * (nozzle - 1), 4, prices.get(nozzle, 0))
        return link.finish_frame(frame)

    def cb0_authorise(self, preset, preset_is_volume):
        """Price control, preset and allowed nozzles; a pump in state 'A' is authorised by it."""
        frame = link.new_frame(self.address, "0", filler=PRICE_CONTROL_BASE)
        frame[21] = self.address
        link.put_digits(frame, 22, 5, preset % 100000)
        # The hundred thousands ride in bits 6-7 of bytes 24 (high half) and 23 (low half).
        hundred_thousands = preset // 100000
        frame[23] |= (hundred_thousands & 0x3) << 6
        frame[24] |= (hundred_thousands >> 2) << 6
        frame[27] = self.flags_byte(preset_is_volume)
        return link.finish_frame(frame)

    def queue(self, frame, gets_reply):
        self.outgoing.append((frame, gets_reply))

    def queue_programming(self):
        prices = self.settings.prices_in_units(self.decimals[2])
        for nozzle, price in prices.items():
            if price > LARGEST_PRICE:
                raise CannotProgram(f"the price of nozzle {nozzle} needs more than the 4 price digits "
                                    f"at {self.decimals[2]} decimals")
        self.queue(self.cb1_prices(prices), gets_reply=False)
        self.queue(self.cb3(ord("G"), set_flags=True), gets_reply=True)
        self.programmed = True
        listed = ", ".join(f"{nozzle} at {self.price_text(prices[nozzle])}" for nozzle in self.settings.nozzles)
        self.say(f"programmed: nozzles {listed}; idle")

    def queue_authorisation(self):
        preset = self.settings.preset_in_units(volume_decimals=self.decimals[0], amount_decimals=self.decimals[1])
        if preset is None:
            kind, units = "amount", LARGEST_PRESET
        else:
            kind, units = preset
            if units > LARGEST_PRESET:
                raise CannotProgram(f"the preset is above the largest a CB0 carries ({LARGEST_PRESET} units)")
            shown = self.volume_text(units) + " l" if kind == "volume" else self.amount_text(units)
            self.say(f"preset {kind} {shown}")
        self.queue(self.cb3(ord("A")), gets_reply=True)
        self.queue(self.cb0_authorise(units, kind == "volume"), gets_reply=True)

    # --- replies ------------------------------------------------------------------------------

    def handle_reply(self, reply):
        self.note_status_byte(reply.status_byte)
        if not self.programmed:
            self.queue_programming()
            return
        if self.refused_nozzle and not reply.lifted:
            self.refused_nozzle = 0
        handler = {IDLE: self.while_idle, AUTHORISING: self.while_authorising,
                   AUTHORISED: self.while_authorised, FILLING: self.while_filling}[self.phase]
        handler(reply)

    def note_status_byte(self, status_byte):
        if status_byte == self.status_byte:
            return
        self.status_byte = status_byte
        if status_byte == 0x40:
            self.say("status normal again")
            return
        errors = [name for bit, name in STATUS_ERRORS.items() if status_byte & bit]
        self.say(f"status error 0x{status_byte:02X} ({', '.join(errors) or 'unknown'})")

    def while_idle(self, reply):
        if reply.state != "E" or not reply.lifted or not reply.nozzle:
            return
        if reply.nozzle not in self.settings.nozzles:
            if self.refused_nozzle != reply.nozzle:
                self.say(f"nozzle {reply.nozzle} lifted: not one of the allowed nozzles, not authorised")
                self.refused_nozzle = reply.nozzle
            return
        self.say(f"nozzle {reply.nozzle} lifted")
        self.filling_nozzle = reply.nozzle
        self.queue_authorisation()
        self.enter(AUTHORISING)

    def while_authorising(self, reply):
        # Replies just after the commands may still show the state before them: only 'C' or 'D'
        # count, and after a while the controller starts over.
        if reply.state in ("C", "D"):
            self.say(f"authorised, nozzle {self.filling_nozzle}")
            self.enter(AUTHORISED)
            self.while_authorised(reply)
        elif time.monotonic() - self.phase_since >= PHASE_PATIENCE_S:
            self.say("authorisation not confirmed; waiting for the nozzle again")
            self.enter(IDLE)

    def while_authorised(self, reply):
        if reply.state == "D":
            self.say(f"filling started, nozzle {self.filling_nozzle}, price {self.price_text(reply.price)}")
            self.last_progress = time.monotonic()
            self.enter(FILLING)
        elif reply.state == "E":
            self.say("nozzle hung up without a filling")
            self.enter(IDLE)

    def while_filling(self, reply):
        if reply.state == "D":
            self.maybe_report_progress(reply)
        elif reply.state in ("E", "L"):
            if reply.state == "L":
                self.queue(self.cb3(ord("E")), gets_reply=True)  # preset reached: close the filling
            self.finish_filling(reply)

    def maybe_report_progress(self, reply):
        interval = self.settings.progress_interval
        now = time.monotonic()
        if interval > 0 and now - self.last_progress >= interval:
            self.last_progress = now
            self.say(f"filling: {self.volume_text(reply.volume)} l, amount {self.amount_text(reply.amount)}")

    def finish_filling(self, reply):
        nozzle = self.filling_nozzle
        self.say(f"filling done: {self.volume_text(reply.volume)} l, amount {self.amount_text(reply.amount)}, "
                 f"price {self.price_text(reply.price)}, nozzle {nozzle}")
        totals = self.totals.setdefault(nozzle, [0, 0, 0])
        totals[0] += reply.volume
        totals[1] += reply.amount
        totals[2] += 1
        self.say(f"totals nozzle {nozzle} (counted by this controller): volume {self.volume_text(totals[0])} l, "
                 f"amount {self.amount_text(totals[1])}, fillings {totals[2]}")
        self.fillings_completed += 1
        self.enter(IDLE)


class CurrentLoopController(PumpRange):
    """Serves every pump of the range in turn: its waiting frames first, then one CB3 poll.

    A test drives it round by round (`serve_round`, `run_until`), or step by step:
    `exchange(pump, frame, gets_reply)`. Its pumps' records (`pump(number)`) say what it saw:
    `phase`, `totals`, `fillings_completed`. Every frame it sends passes `send(pump, data)`."""

    protocol = "currentloop"

    def __init__(self, line, pump_numbers: Sequence[int], settings: Optional[ControllerSettings] = None,
                 events: Optional[EventPrinter] = None):
        if settings is None:
            settings = ControllerSettings(nozzles=[1, 2, 3, 4, 5])
        super().__init__(line, pump_numbers, settings, events, CurrentLoopPump)

    def serve(self, pump: CurrentLoopPump) -> bool:
        """One turn of one pump: its waiting frames, then a CB3 poll. True when it answered."""
        self.send_waiting(pump)
        return self.exchange(pump, pump.cb3(), gets_reply=True)

    def send_waiting(self, pump):
        while pump.outgoing:
            frame, gets_reply = pump.outgoing.pop(0)
            self.exchange(pump, frame, gets_reply)

    def reply_problem(self, pump: CurrentLoopPump, frame: bytes) -> Optional[str]:
        """Why a frame read after a request is not a good reply from `pump`, or None."""
        return link.frame_problem(frame, pump.address)

    def exchange(self, pump: CurrentLoopPump, frame: bytes, gets_reply: bool) -> bool:
        """Sends a frame and, when one is due, takes in the pump's reply; True when a frame came
        back (a good or an ignored one)."""
        self.send(pump, frame)
        if not gets_reply:
            return False
        result = link.read_frame(self.line, time.monotonic() + self.settings.reply_timeout)
        if result.stray:
            pump.say(f"{len(result.stray)} stray bytes on the line: {link.hex_text(result.stray)}")
        if result.frame is None:
            if pump.presence.silent():
                pump.forget()  # when it comes back it is programmed again
            return False
        problem = self.reply_problem(pump, result.frame)
        if problem:
            pump.presence.answered()
            pump.say(f"reply ignored: {problem}: {link.hex_text(result.frame)}")
            self.line.discard_input()
            return True
        pump.presence.answered()
        pump.handle_reply(Reply(result.frame))
        return True
