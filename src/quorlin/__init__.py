"""quorlin: does the WireGuard peer at an endpoint hold the expected key, and does traffic flow?"""

from quorlin import _quorlin  # noqa: F401

__version__ = "0.1.6"
