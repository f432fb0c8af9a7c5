"""Serial ports for Python on Linux: a blocking ``Serial``, an asyncio flavour in
``korvane.aio`` and port listing in ``korvane.tools.list_ports``."""

import _korvane
from _korvane import *  # noqa: F401,F403
from _korvane import __all__, __version__, aio, tools  # noqa: F401

del _korvane
