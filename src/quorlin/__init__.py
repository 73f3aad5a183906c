"""quorlin: does the WireGuard peer at an endpoint hold the expected key, and does traffic flow?

Two functions run one probe each and return a read-only `ProbeReport`:

- `probe_file(config_path, ...)` reads a WireGuard configuration file;
- `probe_key_file(private_key_path, peer_key, endpoint, ...)` takes a private-key
  file plus the peer's public key and endpoint.

Every refused input raises `ConfigurationError` (a `QuorlinError`) before any
traffic; a probe that runs never raises: its outcome is the report.
"""

from quorlin._quorlin import (
    ConfigurationError,
    PhaseResult,
    ProbeReport,
    QuorlinError,
    __version__,
    probe_file,
    probe_key_file,
)

__all__ = [
    "ConfigurationError",
    "PhaseResult",
    "ProbeReport",
    "QuorlinError",
    "__version__",
    "probe_file",
    "probe_key_file",
]
