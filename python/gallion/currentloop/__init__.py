"""The current-loop protocol from the controller's side: frames and CRC (`link`) and the
controller (`CurrentLoopController`, one `CurrentLoopPump` record per pump)."""

from . import link
from .controller import CurrentLoopController, CurrentLoopPump, Reply

__all__ = ["CurrentLoopController", "CurrentLoopPump", "Reply", "link"]
