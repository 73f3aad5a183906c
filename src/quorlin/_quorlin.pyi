"""Type information for the native module `quorlin._quorlin`."""

from collections.abc import Sequence
from os import PathLike
from typing import final

__version__: str

@final
class PhaseResult:
    @property
    def phase(self) -> str: ...
    @property
    def target(self) -> str | None: ...
    @property
    def status(self) -> str: ...
    @property
    def duration_ms(self) -> int: ...
    @property
    def sent_bytes(self) -> int: ...
    @property
    def received_bytes(self) -> int: ...
    @property
    def detail(self) -> str | None: ...
    def to_json(self) -> str: ...

@final
class ProbeReport:
    @property
    def schema_version(self) -> int: ...
    @property
    def verdict(self) -> str: ...
    @property
    def endpoint(self) -> str: ...
    @property
    def resolved_endpoint(self) -> str | None: ...
    @property
    def local_udp_address(self) -> str | None: ...
    @property
    def client_public_key(self) -> str: ...
    @property
    def duration_ms(self) -> int: ...
    @property
    def sent_bytes(self) -> int: ...
    @property
    def received_bytes(self) -> int: ...
    @property
    def phases(self) -> tuple[PhaseResult, ...]: ...
    def to_json(self) -> str: ...

class QuorlinError(Exception): ...
class ConfigurationError(QuorlinError): ...

def probe_file(
    config_path: str | PathLike[str],
    *,
    ping: Sequence[str] = (),
    resolve: Sequence[str] = (),
    dns_server: str | None = None,
    handshake_timeout_ms: int = 3000,
    ping_timeout_ms: int = 1000,
    dns_timeout_ms: int = 2000,
    deadline_ms: int = 9000,
    ping_count: int = 1,
    ping_interval_ms: int = 200,
    mtu_check: bool = False,
    mtu: int | None = None,
    tcp: Sequence[str] = (),
    tcp_timeout_ms: int = 3000,
    tls: Sequence[str] = (),
    tls_server_name: str | None = None,
    ca_file: str | PathLike[str] | None = None,
    http: Sequence[str] = (),
    http_status: str | None = None,
    http_expect: str | None = None,
) -> ProbeReport: ...
def probe_key_file(
    private_key_path: str | PathLike[str],
    peer_key: str,
    endpoint: str,
    *,
    address: str | None = None,
    allowed_ips: Sequence[str] = (),
    address6: str | None = None,
    ping: Sequence[str] = (),
    resolve: Sequence[str] = (),
    dns_server: str | None = None,
    handshake_timeout_ms: int = 3000,
    ping_timeout_ms: int = 1000,
    dns_timeout_ms: int = 2000,
    deadline_ms: int = 9000,
    ping_count: int = 1,
    ping_interval_ms: int = 200,
    mtu_check: bool = False,
    mtu: int | None = None,
    tcp: Sequence[str] = (),
    tcp_timeout_ms: int = 3000,
    tls: Sequence[str] = (),
    tls_server_name: str | None = None,
    ca_file: str | PathLike[str] | None = None,
    http: Sequence[str] = (),
    http_status: str | None = None,
    http_expect: str | None = None,
) -> ProbeReport: ...
