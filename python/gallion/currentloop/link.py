"""Current-loop frames as the controller sends and receives them.

Every frame is 32 bytes:

    0      STX 0x02
    1      destination: a pump address (pump number + 79, pump 1 = 'P'), or 'q' for the controller
    2      source: 'q' from the controller, the pump's address in replies
    3      'P' in replies (not looked at by the pumps)
    4      message type: '0'-'3' for the controller's CB0-CB3, '0' for the pump's DB0
    5-27   message data
    28     CRC adjustment byte
    29-30  CRC-16/CCITT-FALSE over bytes 1-28, high byte first
    31     ETX 0x03

An STX anywhere starts a new frame, so no other byte of a frame may be 0x02: the adjustment byte
is chosen so that neither CRC byte is STX or ETX.
"""

from ..events import hex_text  # noqa: F401 (the blocks' bytes in event lines)

STX = 0x02
ETX = 0x03
FRAME_LENGTH = 32
CONTROLLER = ord("q")
ALL_PUMPS = ord("O")


def crc16_ccitt_false(data):
    """CRC-16/CCITT-FALSE: polynomial 0x1021, initial value 0xFFFF, no reflection, no final XOR."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc


def pump_address(number):
    return number + 79


def finish_frame(frame):
    """Fills in the adjustment byte, the CRC and ETX of a frame whose bytes 0-27 are set."""
    frame[28] = 0x00
    while True:
        crc = crc16_ccitt_false(frame[1:29])
        high, low = crc >> 8, crc & 0xFF
        if high not in (STX, ETX) and low not in (STX, ETX):
            break
        frame[28] = (frame[28] + 0x10) & 0xFF
    frame[29], frame[30], frame[31] = high, low, ETX
    return bytes(frame)


def new_frame(destination, message_type, filler=ord("0")):
    """A frame from the controller with its data bytes 5-27 set to `filler`."""
    frame = bytearray([filler] * FRAME_LENGTH)
    frame[0] = STX
    frame[1] = destination
    frame[2] = CONTROLLER
    frame[3] = CONTROLLER
    frame[4] = ord(message_type)
    return frame


def put_digits(frame, start, width, value):
    """`value` as `width` ASCII decimal digits at frame[start:], most significant first."""
    digits = f"{value:0{width}d}"
    if len(digits) > width:
        raise ValueError(f"{value} does not fit in {width} digits")
    frame[start:start + width] = digits.encode("ascii")


def read_digits(frame, start, width):
    """The number in `width` digit characters. A pump writes a value too large for its field as a
    first character beyond '9', so each character counts as (character - '0') at its place."""
    value = 0
    for byte in frame[start:start + width]:
        value = value * 10 + (byte - ord("0"))
    return value


class ReadResult:
    """One read: a complete frame (32 bytes from STX to ETX), or silence and the stray bytes."""

    def __init__(self, frame=None, stray=b""):
        self.frame = frame
        self.stray = stray


def read_frame(line, deadline):
    """Collects a frame the way the pumps do: STX starts one, an ETX at index 31 or later ends it."""
    collected = bytearray()
    stray = bytearray()
    inside = False
    while True:
        byte = line.read_byte(deadline)
        if byte is None:
            return ReadResult(stray=bytes(stray + collected))
        if byte == STX:
            stray += collected
            collected = bytearray([STX])
            inside = True
            continue
        if not inside:
            stray.append(byte)
            continue
        collected.append(byte)
        if byte == ETX and len(collected) >= FRAME_LENGTH:
            return ReadResult(frame=bytes(collected), stray=bytes(stray))


def frame_problem(frame, expected_source):
    """Why a frame is not a good DB0 from the pump expected, or None when it is one."""
    if len(frame) != FRAME_LENGTH:
        return f"frame of {len(frame)} bytes, expected {FRAME_LENGTH}"
    crc = crc16_ccitt_false(frame[1:29])
    received = frame[29] << 8 | frame[30]
    if crc != received:
        return f"bad CRC {received:04X}, computed {crc:04X}"
    if frame[1] != CONTROLLER:
        return f"frame addressed to {chr(frame[1])!r}, not to the controller"
    if frame[2] != expected_source:
        return f"reply from {chr(frame[2])!r}, expected {chr(expected_source)!r}"
    if frame[4] != ord("0"):
        return f"reply of type {chr(frame[4])!r}, expected '0' (DB0)"
    return db0_content_problem(frame)


DIGIT_FIELDS = ((5, 4), (10, 6), (16, 6))  # unit price, volume, amount
STATE_LETTERS = b"EFABCDL"
NOZZLE_CHARACTERS = b"012348"


def db0_content_problem(frame):
    """Why the data of a DB0 with a good CRC still cannot be a pump's reply (random bytes on the
    line, say), or None. A field's first character may lie beyond '9' (a value too large for the
    field); every other character of a figure is a digit."""
    for start, width in DIGIT_FIELDS:
        if frame[start] < ord("0") or not all(ord("0") <= byte <= ord("9") for byte in frame[start + 1:start + width]):
            return f"bytes {start}-{start + width - 1} are not a number"
    if frame[9] not in NOZZLE_CHARACTERS:
        return f"nozzle character 0x{frame[9]:02X}"
    if frame[22] not in STATE_LETTERS:
        return f"state letter 0x{frame[22]:02X}"
    if frame[23] & 0xC3 != 0x40:
        return f"status byte 0x{frame[23]:02X}"
    return None
