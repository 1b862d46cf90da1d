"""Zarn blocks as the controller (the master) sends and receives them.

A block on the line is ADR, CTRL, [transactions, CRC low, CRC high, ETX], SF:

    ADR   pump address, pump number + 0x4F (pump 1 = 0x50)
    CTRL  high nibble = kind (POLL 0x20, DATA 0x30, NAK 0x50, EOT 0x70, ACK 0xC0),
          low nibble = block sequence number
    CRC   CRC-16/ARC over ADR, CTRL and the transactions, low byte first
    ETX   0x03
    SF    0xFA, the end of the block; a 0xFA inside a block travels as 0x10 0xFA

Blocks without transactions (POLL, ACK, NAK, EOT) are just ADR, CTRL, SF.
"""

from ..events import hex_text  # noqa: F401 (the blocks' bytes in event lines)

POLL = 0x20
DATA = 0x30
NAK = 0x50
EOT = 0x70
ACK = 0xC0

SF = 0xFA
ETX = 0x03
STUFFING = 0x10
# Longer than any block a pump can send; more bytes without an end byte are noise.
LONGEST_BLOCK = 300


def _arc_table():
    table = []
    for index in range(256):
        crc = index
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


_ARC_TABLE = _arc_table()


def crc16_arc(data):
    """CRC-16/ARC: reflected polynomial 0xA001, initial value 0, no final exclusive-or."""
    crc = 0
    for byte in data:
        crc = (crc >> 8) ^ _ARC_TABLE[(crc ^ byte) & 0xFF]
    return crc


def next_sequence(number):
    """Block numbers run 0 (the first block only), then 1 to 15 and from 15 back to 1."""
    return 1 if number >= 15 else number + 1


def short_block(address, control):
    """POLL, ACK or NAK as it goes on the line."""
    return bytes([address, control, SF])


def data_block(address, sequence, transactions):
    """A DATA block as it goes on the line: numbered, with CRC and ETX, stuffed, ended by SF."""
    body = bytes([address, DATA + sequence]) + bytes(transactions)
    crc = crc16_arc(body)
    block = body + bytes([crc & 0xFF, crc >> 8, ETX])
    return stuff(block) + bytes([SF])


def stuff(block):
    """Every 0xFA inside a block is sent as 0x10 0xFA, so that it does not end the block."""
    out = bytearray()
    for byte in block:
        if byte == SF:
            out.append(STUFFING)
        out.append(byte)
    return bytes(out)


def unstuff(line_bytes):
    """A block as it passed on the line (stuffed, with or without its closing SF) as the block
    itself: ADR, CTRL, transactions, CRC and ETX."""
    data = bytes(line_bytes)
    if data.endswith(bytes([SF])):
        data = data[:-1]
    return data.replace(bytes([STUFFING, SF]), bytes([SF]))


class ReadResult:
    """What one read of a block gave: the block (unstuffed, without SF), or silence and the bytes
    that came without an end (noise on the line, or a block cut off)."""

    def __init__(self, block=None, stray=b""):
        self.block = block
        self.stray = stray


def read_block(line, deadline):
    """Reads bytes up to the next end byte, undoing the stuffing, until the deadline."""
    collected = bytearray()
    last = None
    while True:
        byte = line.read_byte(deadline)
        if byte is None:
            return ReadResult(stray=bytes(collected))
        if byte == SF and last == STUFFING:
            collected[-1] = SF  # 0x10 0xFA is one data byte 0xFA
        elif byte == SF:
            if collected:
                return ReadResult(block=bytes(collected))
        else:
            collected.append(byte)
            if len(collected) > LONGEST_BLOCK:
                return ReadResult(stray=bytes(collected))
        last = byte


class Block:
    """A received block, taken apart."""

    def __init__(self, raw):
        self.raw = raw
        self.address = raw[0]
        self.control = raw[1] if len(raw) > 1 else 0
        self.kind = self.control & 0xF0
        self.sequence = self.control & 0x0F

    def is_short(self):
        return len(self.raw) == 2

    def is_data(self):
        return self.kind == DATA and len(self.raw) >= 5

    def transactions_bytes(self):
        return self.raw[2:-3]

    def received_crc(self):
        return self.raw[-3] | (self.raw[-2] << 8)

    def computed_crc(self):
        return crc16_arc(self.raw[:-3])

    def crc_ok(self):
        return self.received_crc() == self.computed_crc() and self.raw[-1] == ETX
