"""What a controller of either protocol keeps about the pumps it serves."""


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
