"""A loop's wire trace (JSON lines, one per frame) read back as frames a check can judge: each
Zarn block taken apart into its kind, number and transactions, each current-loop frame into its
message type, command and reply fields."""

from __future__ import annotations

import json
from typing import List, Optional, Tuple

from ..currentloop import controller as cl_controller
from ..currentloop import link as cl_link
from ..zarn import link as zarn_link
from ..zarn import transactions as zt

# A controller that floods the line must not make the judging run out of memory.
MOST_FRAMES = 200000

ZARN_KINDS = {zarn_link.POLL: "POLL", zarn_link.DATA: "DATA", zarn_link.NAK: "NAK",
              zarn_link.EOT: "EOT", zarn_link.ACK: "ACK"}


class Frame:
    """One line of the trace. `number` is its line number in the file, `line` its text."""

    def __init__(self, number: int, line: str, record: dict, protocol: str):
        self.number = number
        self.line = line
        self.ms = float(record.get("ms", 0.0))
        self.dir = record.get("dir", "")
        self.pump = record.get("pump")
        self.verdict = record.get("verdict", "")
        self.text = record.get("text", "")
        try:
            self.raw = bytes.fromhex(record.get("hex", ""))
        except ValueError:
            self.raw = b""
        # Zarn
        self.kind = ""
        self.sequence = -1
        self.transactions: Optional[List[Tuple[int, bytes]]] = None
        self.crc_ok = False
        # Current loop
        self.message = ""
        self.command = ""
        self.reply: Optional[cl_controller.Reply] = None
        if protocol == "zarn":
            self._zarn()
        else:
            self._current_loop()

    @property
    def sent_by_controller(self) -> bool:
        return self.dir == "rx"

    def _zarn(self) -> None:
        block = zarn_link.unstuff(self.raw)
        if len(block) < 2:
            return
        parsed = zarn_link.Block(block)
        self.kind = ZARN_KINDS.get(parsed.kind, f"0x{parsed.kind:02X}")
        self.sequence = parsed.sequence
        if parsed.is_data():
            self.crc_ok = parsed.crc_ok()
            try:
                self.transactions = zt.split_transactions(parsed.transactions_bytes())
            except zt.MalformedReply:
                self.transactions = None

    def _current_loop(self) -> None:
        frame = self.raw
        if len(frame) != cl_link.FRAME_LENGTH:
            return
        self.crc_ok = cl_link.crc16_ccitt_false(frame[1:29]) == (frame[29] << 8 | frame[30])
        self.message = chr(frame[4])
        if self.sent_by_controller and self.message == "3" and self.pump:
            command = frame[cl_controller.pump_position(cl_link.pump_address(self.pump))]
            self.command = "" if command == cl_controller.NO_COMMAND else chr(command)
        if not self.sent_by_controller and cl_link.frame_problem(frame, frame[2]) is None:
            self.reply = cl_controller.Reply(frame)

    # -- Zarn ------------------------------------------------------------------------------

    def good_data(self) -> bool:
        """A Zarn DATA block with a right CRC whose transactions could be read."""
        return self.kind == "DATA" and self.crc_ok and self.transactions is not None

    def has_cd1(self, command: int) -> bool:
        return self.good_data() and (zt.DC1_STATUS, bytes([command])) in self.transactions

    def transaction(self, code: int) -> Optional[bytes]:
        """The data of the block's first transaction `code`, or None."""
        if not self.good_data():
            return None
        for found, data in self.transactions:
            if found == code:
                return data
        return None

    def all_of(self, code: int) -> List[bytes]:
        """The data of every transaction `code` of the block, in order (a block may carry several)."""
        if not self.good_data():
            return []
        return [data for found, data in self.transactions if found == code]

    def statuses(self) -> List[int]:
        """The DC1 statuses the block reports, in order."""
        return [data[0] for data in self.all_of(zt.DC1_STATUS) if len(data) == 1]

    def nozzle_out(self) -> Optional[bool]:
        """Whether the block's last DC3 shows a nozzle out; None without a DC3."""
        found = [data for data in self.all_of(zt.DC3_NOZZLE) if len(data) == 4]
        return bool(found[-1][3] & 0x10) if found else None


class Trace:
    """A trace file read as it grows: `update()` takes the lines written since the last call."""

    def __init__(self, path, protocol: str):
        self.path = path
        self.protocol = protocol
        self.frames: List[Frame] = []
        self.cut = False         # more frames than MOST_FRAMES: the rest is not read
        self.drops = 0           # frames the trace writer itself could not keep up with
        self._offset = 0
        self._rest = b""
        self._lines = 0

    def update(self) -> List[Frame]:
        try:
            with open(self.path, "rb") as file:
                file.seek(self._offset)
                data = file.read()
        except OSError:
            return self.frames
        self._offset += len(data)
        data = self._rest + data
        *lines, self._rest = data.split(b"\n")
        for raw in lines:
            self._lines += 1
            if self.cut:
                continue
            text = raw.decode("utf-8", "replace")
            try:
                record = json.loads(text)
            except ValueError:
                continue
            if "drops" in record:
                self.drops += int(record.get("drops") or 0)
                continue
            if "dir" not in record:
                continue
            if len(self.frames) >= MOST_FRAMES:
                self.cut = True
                continue
            self.frames.append(Frame(self._lines, text, record, self.protocol))
        return self.frames
