"""Gallion from Python test suites: the control-socket client (`Gallion`), one controller per
protocol (`gallion.zarn`, `gallion.currentloop`), lines opened by name (`gallion.serial`), the
companion controller and demonstration (`gallion.companion`) and pytest fixtures
(`gallion.pytest_plugin`).

    from gallion import Gallion

    with Gallion("/tmp/gallion.sock") as g:
        loop, device = g.add_loop("zarn", "pty", 1, 8)
"""

from ._version import __version__
from .client import Gallion, GallionConnectionError, GallionError, GallionTimeout

__all__ = ["Gallion", "GallionError", "GallionConnectionError", "GallionTimeout", "__version__"]
