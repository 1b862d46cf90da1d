"""Zarn transactions: the commands the controller sends (CD) and the replies it reads (DC).

A transaction is TRANS (code), LNG (number of data bytes), data. Numbers are packed BCD, two
decimal digits per byte, most significant byte first.
"""

# CD1 command codes
RETURN_STATUS = 0
RETURN_PARAMETERS = 2
RETURN_FILLING_INFORMATION = 4
RESET = 5
AUTHORIZE = 6

# Reply codes
DC1_STATUS = 1
DC2_FILLED = 2
DC3_NOZZLE = 3
DC5_ALARM = 5
DC7_PARAMETERS = 7
DC9_IDENTITY = 9
DC14_SUSPENDED = 14
DC15_RESUMED = 15
DC101_TOTALS = 101

# The pump's own status texts (a suspended pump has none).
STATUS_NAMES = {
    0: "Not programmed",
    1: "Reset",
    2: "Authorized",
    4: "Filling",
    5: "Filling completed",
    6: "Max amount/volume reached",
    7: "Switched off",
    8: "suspended",
}

ALARM_NAMES = {
    1: "CPU reset", 3: "RAM error", 4: "PROM checksum error", 6: "Pulser error",
    7: "Pulser current error", 9: "Emergency stop", 10: "Power failure", 11: "Pressure lost",
    12: "Blend ration error", 13: "Low leak error", 14: "High leak error", 16: "VAP ok",
    17: "VAP alarm", 18: "VAP error", 19: "VAP device error", 20: "Low Tank level",
    21: "Low Tank level Ok",
}

# Bytes of the pump parameters (CD9, DC7) that hold the volume, amount and price decimals.
PARAMETERS_LENGTH = 51
DECIMALS_AT = 22

# Unit prices travel as 3 BCD bytes, presets as 4.
PRICE_DIGITS = 6
LARGEST_PRICE = 10 ** PRICE_DIGITS - 1
PRESET_DIGITS = 8
LARGEST_PRESET = 10 ** PRESET_DIGITS - 1

# Highest nozzle this controller programs: the total counters carry volume, amount and number
# of fillings for nozzles 1-8 (counters 1-8 and 17-24).
HIGHEST_NOZZLE = 8


class MalformedReply(Exception):
    """A reply the controller cannot read; the text says what was wrong."""


def bcd_encode(value, width):
    """`value` as `width` packed BCD bytes."""
    digits = f"{value:0{2 * width}d}"
    if len(digits) > 2 * width:
        raise ValueError(f"{value} does not fit in {width} BCD bytes")
    return bytes(int(digits[i]) << 4 | int(digits[i + 1]) for i in range(0, 2 * width, 2))


def bcd_decode(data):
    """Packed BCD bytes as a number; a nibble above 9 is a malformed reply."""
    value = 0
    for byte in data:
        high, low = byte >> 4, byte & 0x0F
        if high > 9 or low > 9:
            raise MalformedReply(f"not valid BCD data: {data.hex(' ').upper()}")
        value = value * 100 + high * 10 + low
    return value


def transaction(code, data):
    return bytes([code, len(data)]) + bytes(data)


def cd1(command):
    """CD1 command to pump: Return status, Reset, Authorize, ..."""
    return transaction(1, [command])


def cd2_allowed_nozzles(nozzles):
    return transaction(2, nozzles)


def cd3_preset_volume(volume):
    return transaction(3, bcd_encode(volume, 4))


def cd4_preset_amount(amount):
    return transaction(4, bcd_encode(amount, 4))


def cd5_prices(prices_by_nozzle):
    """Prices for nozzles 1..n in order (3-byte BCD each, in units of the price decimals)."""
    return transaction(5, b"".join(bcd_encode(price, 3) for price in prices_by_nozzle))


def cd9_decimals(volume, amount, price):
    data = bytearray(PARAMETERS_LENGTH)
    data[DECIMALS_AT:DECIMALS_AT + 3] = bytes([volume, amount, price])
    return transaction(9, data)


def cd101_totals(counter):
    return transaction(101, [counter])


def split_transactions(data):
    """The (code, data) pairs of a reply block's transaction bytes."""
    result = []
    position = 0
    while position < len(data):
        if position + 2 > len(data):
            raise MalformedReply(f"transaction cut off after its code {data[position]}")
        code, length = data[position], data[position + 1]
        end = position + 2 + length
        if end > len(data):
            raise MalformedReply(f"transaction {code} announces {length} bytes, "
                                 f"only {len(data) - position - 2} follow")
        result.append((code, bytes(data[position + 2:end])))
        position = end
    return result


EXPECTED_LENGTHS = {DC1_STATUS: 1, DC2_FILLED: 8, DC3_NOZZLE: 4, DC5_ALARM: 1,
                    DC7_PARAMETERS: PARAMETERS_LENGTH, DC9_IDENTITY: 5, DC14_SUSPENDED: 1,
                    DC15_RESUMED: 1, DC101_TOTALS: 16}


def check_length(code, data):
    expected = EXPECTED_LENGTHS.get(code)
    if expected is None:
        raise MalformedReply(f"unknown reply transaction {code}")
    if len(data) != expected:
        raise MalformedReply(f"reply transaction {code} with {len(data)} data bytes, expected {expected}")
