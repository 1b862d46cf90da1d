"""A Zarn forecourt controller: polls the pumps of a range, programs them, authorises a pump when
a nozzle is lifted, follows the filling and reads the totals when it is done.

The life of one filling as this controller runs it:

    pump answers      ->  CD1 Return pump parameters, Return status   (learn the decimals)
    DC7 decimals      ->  CD5 prices, CD2 allowed nozzles, CD1 Reset   (status 1)
    DC3 nozzle out    ->  CD1 Authorize                                (status 2)
    DC1 status 4      ->  (filling: DC2 volume and amount while it runs)
    DC1 status 5 or 6 ->  CD1 Return filling information, CD101 totals of the nozzle
    DC2, DC101 x 2    ->  CD1 Reset                                    (ready for the next one)
"""

from __future__ import annotations

import time
from typing import Optional, Sequence

from ..events import EventPrinter
from ..pumps import CannotProgram, ControllerSettings, Presence, PumpRange, ServedPump
from . import link
from . import transactions as zt

# Phases of one pump as this controller sees it.
IDLE = "idle"                # programmed and reset, waiting for a nozzle
AUTHORISING = "authorising"  # Authorize sent for a lifted nozzle
AUTHORISED = "authorised"    # status 2 seen
FILLING = "filling"          # status 4 seen
CLOSING = "closing"          # filling ended; final figures and totals asked for

# Seconds a pump may stay waiting for an answer to an authorisation or a question before the
# controller asks again.
PHASE_PATIENCE_S = 5.0
# Tries for one block of commands before it is given up.
SEND_TRIES = 3


class ZarnPump(ServedPump):
    """What the controller knows about one pump, and what it has still to send it."""

    def __init__(self, number, settings, events):
        self.number = number
        self.address = number + 0x4F
        self.settings = settings
        self.events = events
        self.sequence = 0          # number of the next command block (the first one is 0)
        self.commands = []         # transactions waiting for the next DATA block
        self.presence = Presence(self.say)
        self.fillings_completed = 0
        self.forget()

    def forget(self):
        """Starts over as with a pump never seen: it is asked and programmed again."""
        self.decimals = None       # (volume, amount, price) read from DC7
        self.parameters_asked = False
        self.programmed = False
        self.status = None
        self.nozzle = 0
        self.nozzle_out = False
        self.phase = IDLE
        self.phase_since = time.monotonic()
        self.filling_nozzle = 0
        self.filling_price = 0
        self.volume = 0
        self.amount = 0
        self.final_figures = False
        self.totals = {}           # counter number -> the three fields of DC101
        self.awaiting_hangup = False
        self.last_progress = 0.0

    # --- replies ------------------------------------------------------------------------------

    def handle_transaction(self, code, data):
        zt.check_length(code, data)
        if code == zt.DC1_STATUS:
            self.on_status(data[0])
        elif code == zt.DC2_FILLED:
            self.on_filled(zt.bcd_decode(data[0:4]), zt.bcd_decode(data[4:8]))
        elif code == zt.DC3_NOZZLE:
            self.on_nozzle(zt.bcd_decode(data[0:3]), data[3])
        elif code == zt.DC5_ALARM:
            if data[0]:
                self.say(f"alarm {data[0]} ({zt.ALARM_NAMES.get(data[0], 'unknown alarm')})")
                if self.phase in (AUTHORISED, FILLING):
                    # An alarm stops a delivery without a status report of its own: the status
                    # asked for says whether the filling ended, and then it is closed as any other.
                    self.commands.append(zt.cd1(zt.RETURN_STATUS))
        elif code == zt.DC7_PARAMETERS:
            self.on_parameters(data[zt.DECIMALS_AT:zt.DECIMALS_AT + 3])
        elif code == zt.DC101_TOTALS:
            self.on_totals(data[0], [zt.bcd_decode(data[i:i + 5]) for i in (1, 6, 11)])
        # DC9 identity, DC14 and DC15 need no action here.

    def on_parameters(self, decimals):
        self.decimals = tuple(decimals)
        self.say(f"decimals: volume {decimals[0]}, amount {decimals[1]}, price {decimals[2]}")

    def on_status(self, status):
        previous, self.status = self.status, status
        if status != previous and status in (0, 7, 8):
            self.say(f"status {status} ({zt.STATUS_NAMES[status]})")
        if status == 0 and self.programmed:
            self.forget()  # the pump lost its programming: do it again
            return
        if status == 7 and self.programmed and previous != 7:
            if self.phase in (FILLING, CLOSING):
                self.say("the filling ended without its figures")
            self.enter(IDLE)
            self.queue_reset()
            return
        if self.phase == AUTHORISING and status == 2:
            self.say(f"authorised, nozzle {self.filling_nozzle}")
            self.enter(AUTHORISED)
        elif self.phase in (AUTHORISING, AUTHORISED) and status == 4:
            if self.phase == AUTHORISING:
                self.say(f"authorised, nozzle {self.filling_nozzle}")
            self.say(f"filling started, nozzle {self.filling_nozzle}, "
                     f"price {self.price_text(self.filling_price)}")
            self.enter(FILLING)
            self.last_progress = time.monotonic()
        elif self.phase == FILLING and status in (5, 6):
            self.ask_final_figures()
        elif self.phase == AUTHORISED and status == 5:
            self.say("nozzle hung up without a filling")
            self.enter(IDLE)
            self.queue_reset()

    def on_nozzle(self, price, flags):
        self.nozzle_out = bool(flags & 0x10)
        self.nozzle = flags & 0x0F
        if not self.nozzle_out:
            self.awaiting_hangup = False
        if self.phase in (AUTHORISING, AUTHORISED, FILLING) and self.nozzle == self.filling_nozzle:
            self.filling_price = price
        if self.phase == IDLE and self.programmed and self.nozzle_out and self.nozzle \
                and not self.awaiting_hangup:
            self.on_nozzle_lifted(self.nozzle, price)

    def on_nozzle_lifted(self, nozzle, price):
        if nozzle not in self.settings.nozzles:
            self.say(f"nozzle {nozzle} lifted: not one of the allowed nozzles, not authorised")
            self.awaiting_hangup = True
            return
        self.say(f"nozzle {nozzle} lifted")
        self.filling_nozzle = nozzle
        self.filling_price = price
        self.commands += self.preset_commands()
        self.commands.append(zt.cd1(zt.AUTHORIZE))
        self.enter(AUTHORISING)

    def preset_commands(self):
        """The preset of the filling, when one is asked for (Reset takes it away again)."""
        preset = self.settings.preset_in_units(volume_decimals=self.decimals[0], amount_decimals=self.decimals[1])
        if preset is None:
            return []
        kind, units = preset
        if units > zt.LARGEST_PRESET:
            raise CannotProgram(f"the preset needs more than the pump's {zt.PRESET_DIGITS} digits")
        if kind == "volume":
            self.say(f"preset volume {self.volume_text(units)} l")
            return [zt.cd3_preset_volume(units)]
        self.say(f"preset amount {self.amount_text(units)}")
        return [zt.cd4_preset_amount(units)]

    def on_filled(self, volume, amount):
        self.volume, self.amount = volume, amount
        if self.phase == FILLING:
            self.maybe_report_progress()
        elif self.phase == CLOSING and not self.final_figures:
            # After the pump reported the end, the only DC2 it sends is the one asked for.
            self.final_figures = True
            self.say(f"filling done: {self.volume_text(volume)} l, amount {self.amount_text(amount)}, "
                     f"price {self.price_text(self.filling_price)}, nozzle {self.filling_nozzle}")
            self.maybe_finish_closing()

    def maybe_report_progress(self):
        interval = self.settings.progress_interval
        now = time.monotonic()
        if interval > 0 and now - self.last_progress >= interval:
            self.last_progress = now
            self.say(f"filling: {self.volume_text(self.volume)} l, amount {self.amount_text(self.amount)}")

    def on_totals(self, counter, fields):
        if self.phase == CLOSING:
            self.totals[counter] = fields
            self.maybe_finish_closing()

    # --- commands -----------------------------------------------------------------------------

    def ask_final_figures(self):
        """The filling has ended: ask for its final figures and the nozzle's total counters. The
        next customer is authorised only once this nozzle has been returned."""
        self.enter(CLOSING)
        self.final_figures = False
        self.totals = {}
        self.awaiting_hangup = True
        self.ask_missing_figures()

    def ask_missing_figures(self):
        nozzle = self.filling_nozzle
        if not self.final_figures:
            self.commands.append(zt.cd1(zt.RETURN_FILLING_INFORMATION))
        for counter in (nozzle, 16 + nozzle):  # volume; amount and number of fillings
            if counter not in self.totals:
                self.commands.append(zt.cd101_totals(counter))

    def maybe_finish_closing(self):
        nozzle = self.filling_nozzle
        volume_counter, amount_counter = nozzle, 16 + nozzle
        if not self.final_figures or volume_counter not in self.totals or amount_counter not in self.totals:
            return
        volume_total = self.totals[volume_counter][0]
        amount_total, fillings = self.totals[amount_counter][0], self.totals[amount_counter][1]
        self.say(f"totals nozzle {nozzle}: volume {self.volume_text(volume_total)} l, "
                 f"amount {self.amount_text(amount_total)}, fillings {fillings}")
        self.fillings_completed += 1
        self.enter(IDLE)
        self.queue_reset()
        if self.nozzle_out and self.nozzle and not self.awaiting_hangup:
            self.on_nozzle_lifted(self.nozzle, 0)  # returned and lifted again meanwhile

    def queue_reset(self):
        self.commands.append(zt.cd1(zt.RESET))

    def plan_next_commands(self):
        """After every answer: the parameters first, then the programming."""
        if self.decimals is None:
            if not self.parameters_asked:
                self.commands += [zt.cd1(zt.RETURN_PARAMETERS), zt.cd1(zt.RETURN_STATUS)]
                self.parameters_asked = True
            return
        if not self.programmed:
            self.queue_programming()
            return
        self.retry_when_stuck()

    def retry_when_stuck(self):
        """A command or reply lost on the line must not leave the pump waiting for ever."""
        if time.monotonic() - self.phase_since < PHASE_PATIENCE_S:
            return
        if self.phase == AUTHORISING:
            self.say("authorisation not confirmed; asking the status again")
            self.enter(IDLE)
            self.commands.append(zt.cd1(zt.RETURN_STATUS))
        elif self.phase == CLOSING:
            self.say("final figures or totals missing; asking again")
            self.enter(CLOSING)
            self.ask_missing_figures()

    def queue_programming(self):
        wanted = self.settings.decimals
        if wanted is not None and tuple(wanted) != self.decimals:
            # New decimals make the pump clear its prices and totals, so they go first.
            self.commands.append(zt.cd9_decimals(*wanted))
            self.decimals = tuple(wanted)
            self.say(f"decimals set: volume {wanted[0]}, amount {wanted[1]}, price {wanted[2]}")
        prices = self.settings.prices_in_units(self.decimals[2])
        for nozzle, price in prices.items():
            if price > zt.LARGEST_PRICE:
                raise CannotProgram(f"the price of nozzle {nozzle} needs more than the pump's "
                                    f"{zt.PRICE_DIGITS} price digits at {self.decimals[2]} decimals")
        by_nozzle = [prices.get(nozzle, 0) for nozzle in range(1, max(self.settings.nozzles) + 1)]
        self.commands += [zt.cd5_prices(by_nozzle), zt.cd2_allowed_nozzles(self.settings.nozzles),
                          zt.cd1(zt.RESET)]
        self.programmed = True
        self.enter(IDLE)
        listed = ", ".join(f"{nozzle} at {self.price_text(prices[nozzle])}" for nozzle in self.settings.nozzles)
        self.say(f"programmed: nozzles {listed}; reset")


class ZarnController(PumpRange):
    """Serves every pump of the range in turn: its waiting commands first, then one poll.

    A test drives it round by round (`serve_round`, `run_until`), or step by step: `poll(pump)`,
    `send_transactions(pump, data)`. Its pumps' records (`pump(number)`) say what it saw: `status`,
    `phase`, `volume`, `amount`, `totals`. Every block it sends passes `send(pump, data)`."""

    protocol = "zarn"

    def __init__(self, line, pump_numbers: Sequence[int], settings: Optional[ControllerSettings] = None,
                 events: Optional[EventPrinter] = None):
        super().__init__(line, pump_numbers, settings, events, ZarnPump)
        self.last_turnaround: Optional[float] = None  # seconds from a POLL to its reply's end

    def serve(self, pump: ZarnPump) -> bool:
        """One turn of one pump: its waiting commands, then a poll. True when the poll was answered."""
        self.send_waiting(pump)
        return self.poll(pump)

    def send_waiting(self, pump):
        if pump.commands:
            self.send_commands(pump)

    # --- link ---------------------------------------------------------------------------------

    def read_reply(self, pump, what):
        """The pump's next block, or None (silence and noise are reported here)."""
        result = link.read_block(self.line, time.monotonic() + self.settings.reply_timeout)
        if result.block is None:
            if result.stray:
                pump.say(f"{what}: {len(result.stray)} bytes without an end of block: "
                         f"{link.hex_text(result.stray)}")
                self.line.discard_input()
            return None
        block = link.Block(result.block)
        if block.address != pump.address:
            pump.say(f"{what}: block from address 0x{block.address:02X}, expected 0x{pump.address:02X}; "
                     f"ignored: {link.hex_text(block.raw)}")
            self.line.discard_input()
            return None
        return block

    def send_commands(self, pump: ZarnPump) -> bool:
        """The pump's waiting commands in one DATA block; True when it was acknowledged."""
        transactions = b"".join(pump.commands)
        pump.commands.clear()
        return self.send_transactions(pump, transactions)

    def send_transactions(self, pump: ZarnPump, transactions: bytes) -> bool:
        """One DATA block with the next sequence number, sent again (up to SEND_TRIES times)
        until the pump acknowledges it; True when it did."""
        for _ in range(SEND_TRIES):
            number = pump.sequence
            self.send(pump, link.data_block(pump.address, number, transactions))
            reply = self.read_reply(pump, f"commands (block {number})")
            if reply is None:
                pump.say(f"no acknowledgement for command block {number}; sending it again")
                continue
            if reply.is_short() and reply.kind == link.ACK and reply.sequence == number:
                pump.sequence = link.next_sequence(number)
                return True
            if reply.is_short() and reply.kind == link.NAK:
                # The pump now waits for a block numbered 0, which it always takes.
                pump.say(f"command block {number} refused (NAK {reply.sequence}); sending it again numbered 0")
                pump.sequence = 0
                continue
            pump.say(f"unexpected answer to command block {number}: {link.hex_text(reply.raw)}; sending it again")
        pump.say(f"command block not acknowledged after {SEND_TRIES} tries; dropped")
        return False

    def poll(self, pump: ZarnPump) -> bool:
        """A POLL; a DATA reply is acknowledged (or refused with NAK when damaged) and taken in.
        True when the pump answered."""
        started = time.monotonic()
        self.send(pump, link.short_block(pump.address, link.POLL))
        answered = False
        for _ in range(SEND_TRIES):
            reply = self.read_reply(pump, "poll")
            if reply is None:
                self.note_silence(pump)
                return answered
            if not answered:
                self.last_turnaround = time.monotonic() - started
            answered = True
            self.note_answer(pump)
            if reply.is_short() and reply.kind == link.EOT:
                pump.plan_next_commands()
                return True
            if not reply.is_data():
                pump.say(f"unexpected answer to a poll: {link.hex_text(reply.raw)}")
                return True
            if not self.reply_intact(pump, reply):
                # A NAK makes the pump send the same block again at once, with a fresh CRC.
                pump.say(f"reply block {reply.sequence} damaged (CRC {reply.received_crc():04X}, "
                         f"computed {reply.computed_crc():04X}); asking again (NAK)")
                self.send(pump, link.short_block(pump.address, link.NAK + reply.sequence))
                continue
            self.send(pump, link.short_block(pump.address, link.ACK + reply.sequence))
            self.handle_data(pump, reply)
            pump.plan_next_commands()
            return True
        return True

    def reply_intact(self, pump, block) -> bool:
        """Whether a DATA reply arrived undamaged (its CRC and ETX are right)."""
        return block.crc_ok()

    def handle_data(self, pump, block):
        try:
            for code, data in zt.split_transactions(block.transactions_bytes()):
                pump.handle_transaction(code, data)
        except zt.MalformedReply as error:
            # What the block should have said (a nozzle lifted, a new status) is lost, and the
            # pump reports only changes: ask for its whole status again.
            pump.say(f"malformed reply ({error}): {link.hex_text(block.raw)}; asking the status again")
            pump.commands.append(zt.cd1(zt.RETURN_STATUS))

    def note_answer(self, pump):
        pump.presence.answered()

    def note_silence(self, pump):
        if pump.presence.silent():
            if pump.phase in (FILLING, CLOSING):
                pump.say(f"the filling on nozzle {pump.filling_nozzle} is lost to this controller")
            pump.forget()  # when it comes back it is asked and programmed again
