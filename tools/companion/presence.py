"""Whether a pump answers: one line when it first answers, when it falls silent and when it is back."""

import time

# Silence after which a pump counts as gone (a pump's own poll time-out is 5 s by default).
OFFLINE_AFTER_S = 3.0


class Presence:
    def __init__(self, say):
        self.say = say
        self.online = None        # None before the first poll, then True or False
        self.ever_answered = False
        self.silent_since = None  # monotonic time of the first unanswered poll in a row

    def answered(self):
        if not self.online:
            self.say("online")
        elif self.silent_since is not None:
            self.say("answering again")
        self.online = True
        self.ever_answered = True
        self.silent_since = None

    def silent(self):
        """Notes a poll without answer; True when the pump has just gone offline."""
        now = time.monotonic()
        if self.silent_since is None:
            self.silent_since = now
            if self.online is None:
                self.say("no answer to polls (is the pump created, are port and protocol right?)")
                self.online = False
            elif self.online:
                self.say("no answer to a poll")
            return False
        if self.online and now - self.silent_since >= OFFLINE_AFTER_S:
            self.say(f"offline: no answer for {OFFLINE_AFTER_S:g} s")
            self.online = False
            return True
        return False
