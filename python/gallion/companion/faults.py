"""Deliberate faults of the companion controller, for proving that a conformance check can fail:
each one makes the controller misbehave in one way a real controller might, and the matching
check of `gallion.conformance` notices it.

They act only where a controller touches the line: what it sends (`send`), one turn of a pump
(`serve`), and the two questions it asks about a reply (Zarn `reply_intact`, `handle_data`;
current loop `reply_problem`). The controller itself stays the one implementation of each
protocol."""

from __future__ import annotations

import time
from typing import Dict, Iterable

from ..currentloop import link as cl_link
from ..zarn import link as zarn_link
from ..zarn import transactions as zt

# Seconds a late authorisation is held back (the default bound of the check is 2 s).
LATE_AUTHORISATION_S = 3.0

FAULTS: Dict[str, str] = {
    "forget-pump": "polls only the first pump of its range once the others are programmed",
    "no-ack": "Zarn: never acknowledges a DATA reply (it still reads it)",
    "bad-crc": "sends the first block or frame to each pump with a damaged CRC",
    "ignore-crc": "takes a reply with a bad CRC as good (Zarn: acknowledges it)",
    "drop-out-of-turn": "Zarn: acknowledges a reply numbered out of turn but throws it away, "
                        "and every one after it that does not follow it",
    "late-authorise": f"holds every authorisation back {LATE_AUTHORISATION_S:g} s (polling on meanwhile)",
    "double-authorise": "authorises a pump a second time once it is authorised",
    "skip-final-figures": "Zarn: resets a pump instead of asking for the final figures; current "
                          "loop: sends the reset with every poll while a filling runs",
    "drop-silent-pump": "stops polling a pump once it has gone offline",
}


def faulty(controller_class, faults: Iterable[str]):
    """A subclass of `controller_class` (ZarnController or CurrentLoopController) with `faults`."""
    chosen = frozenset(faults)
    unknown = chosen - FAULTS.keys()
    if unknown:
        raise ValueError(f"unknown fault: {', '.join(sorted(unknown))}")

    class Faulty(controller_class):
        faults = chosen

        def __init__(self, *arguments, **keywords):
            super().__init__(*arguments, **keywords)
            self._crc_damaged = set()

        # -- what it sends ----------------------------------------------------------------

        def send(self, pump, data: bytes) -> None:
            data = self._zarn_fault(pump, data) if self.protocol == "zarn" else self._cl_fault(pump, data)
            if data is not None:
                super().send(pump, data)

        def _zarn_fault(self, pump, data):
            block = zarn_link.Block(zarn_link.unstuff(data))
            if block.kind == zarn_link.ACK and block.is_short() and "no-ack" in self.faults:
                return None
            if block.kind == zarn_link.NAK and block.is_short():
                # The pump sends the refused block again numbered one up, and numbers the block
                # after it the same.
                pump.replies_in_turn = {zarn_link.next_sequence(block.sequence)}
                pump.after_nak = True
            if not block.is_data():
                return data
            transactions = block.transactions_bytes()
            commands = [(code, body) for code, body in zt.split_transactions(transactions)]
            if "skip-final-figures" in self.faults and (1, bytes([zt.RETURN_FILLING_INFORMATION])) in commands:
                transactions = transactions.replace(zt.cd1(zt.RETURN_FILLING_INFORMATION), zt.cd1(zt.RESET))
                data = zarn_link.data_block(block.address, block.sequence, transactions)
            if "bad-crc" in self.faults and pump.number not in self._crc_damaged:
                self._crc_damaged.add(pump.number)
                raw = bytearray(zarn_link.unstuff(data))
                raw[-3] ^= 0x01
                data = zarn_link.stuff(bytes(raw)) + bytes([zarn_link.SF])
            return data

        def _cl_fault(self, pump, data):
            frame = bytearray(data)
            kind = chr(frame[4])
            position = pump.address - 75
            if ("skip-final-figures" in self.faults and kind == "3" and pump.phase == "filling"
                    and frame[position] == ord("0")):
                frame[position] = ord("A")
                frame = bytearray(cl_link.finish_frame(frame))
            if "bad-crc" in self.faults and pump.number not in self._crc_damaged:
                self._crc_damaged.add(pump.number)
                # Another CRC low byte, never STX or ETX (which would cut the frame).
                frame[30] = next(value for value in (frame[30] ^ 0x01, frame[30] ^ 0x04) if value not in (2, 3))
            return bytes(frame)

        # -- one turn of a pump ------------------------------------------------------------

        def serve(self, pump):
            waiting = pump.commands if self.protocol == "zarn" else pump.outgoing
            if "forget-pump" in self.faults and pump is not self.pumps[0] and pump.programmed and not waiting:
                return False
            if ("drop-silent-pump" in self.faults and pump.presence.ever_answered
                    and pump.presence.online is False):
                return False
            if "late-authorise" in self.faults and self._holds_authorisation(pump):
                return self._poll_only(pump)
            answered = super().serve(pump)
            if "double-authorise" in self.faults:
                if pump.phase == "idle":
                    pump.authorised_twice = False
                elif pump.phase in ("authorised", "filling") and not getattr(pump, "authorised_twice", False):
                    pump.authorised_twice = True
                    if self.protocol == "zarn":
                        self.send_transactions(pump, zt.cd1(zt.AUTHORIZE))
                    else:
                        # The authorising CB0 again, without the reset 'A' before it.
                        pump.queue_authorisation()
                        del pump.outgoing[-2]
            return answered

        def _holds_authorisation(self, pump) -> bool:
            """True while an authorisation waits its LATE_AUTHORISATION_S (the pumps are polled
            meanwhile, as a slow controller would)."""
            if self.protocol == "zarn":
                waiting = zt.cd1(zt.AUTHORIZE) in pump.commands
            else:
                waiting = any(frame[4] == ord("0") for frame, _ in pump.outgoing)
            if not waiting:
                pump.authorisation_due = None
                return False
            if getattr(pump, "authorisation_due", None) is None:
                pump.authorisation_due = time.monotonic() + LATE_AUTHORISATION_S
            return time.monotonic() < pump.authorisation_due

        def _poll_only(self, pump):
            """A poll of `pump` with what it waits for held back."""
            if self.protocol == "zarn":
                held, pump.commands[:] = list(pump.commands), []
                answered = self.poll(pump)
                pump.commands[:0] = held
            else:
                held, pump.outgoing[:] = list(pump.outgoing), []
                answered = self.exchange(pump, pump.cb3(), gets_reply=True)
                pump.outgoing[:0] = held
            return answered

        # -- what it makes of a reply ------------------------------------------------------

        def reply_intact(self, pump, block):
            return True if "ignore-crc" in self.faults else super().reply_intact(pump, block)

        def handle_data(self, pump, block):
            if "drop-out-of-turn" in self.faults:
                in_turn = getattr(pump, "replies_in_turn", None)
                if in_turn is not None and block.sequence != 0 and block.sequence not in in_turn:
                    pump.say(f"reply block {block.sequence} out of turn (expected "
                             f"{' or '.join(map(str, sorted(in_turn)))}); dropped")
                    return
                pump.replies_in_turn = {zarn_link.next_sequence(block.sequence)}
                if getattr(pump, "after_nak", False):
                    pump.replies_in_turn.add(block.sequence)
                    pump.after_nak = False
            super().handle_data(pump, block)

        def reply_problem(self, pump, frame):
            if "ignore-crc" in self.faults and len(frame) == cl_link.FRAME_LENGTH:
                frame = bytearray(frame)
                crc = cl_link.crc16_ccitt_false(frame[1:29])
                frame[29], frame[30] = crc >> 8, crc & 0xFF
            return super().reply_problem(pump, bytes(frame))

    Faulty.__name__ = Faulty.__qualname__ = "Faulty" + controller_class.__name__
    return Faulty
