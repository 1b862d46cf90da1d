"""What a controller of either protocol keeps about the pumps it serves."""

import time

from events import decimal_text


class ServedPump:
    """What a controller's record of one pump does alike in both protocols: its phase, its event
    lines and its figures as text in the pump's decimals (volume, amount, price). The protocol's
    class sets `number`, `events`, `decimals`, `phase` and `phase_since`."""

    def enter(self, phase):
        self.phase = phase
        self.phase_since = time.monotonic()

    def say(self, text):
        self.events.pump(self.number, text)

    def volume_text(self, value):
        return decimal_text(value, self.decimals[0])

    def amount_text(self, value):
        return decimal_text(value, self.decimals[1])

    def price_text(self, value):
        return decimal_text(value, self.decimals[2])


class PumpRange:
    """The pumps of the range, one object of the protocol's pump class each, and the counts a run
    ends on."""

    def __init__(self, line, pump_numbers, settings, events, pump_class):
        self.line = line
        self.settings = settings
        self.events = events
        self.pumps = [pump_class(number, settings, events) for number in pump_numbers]

    def fillings_completed(self):
        return sum(pump.fillings_completed for pump in self.pumps)

    def any_pump_answered(self):
        return any(pump.presence.ever_answered for pump in self.pumps)
