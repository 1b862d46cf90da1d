"""The Zarn protocol from the controller's side: blocks, CRC and link rules (`link`), commands
and replies (`transactions`), and the controller (`ZarnController`, one `ZarnPump` record per
pump)."""

from . import link, transactions
from .controller import ZarnController, ZarnPump

__all__ = ["ZarnController", "ZarnPump", "link", "transactions"]
