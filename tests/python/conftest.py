"""Shared helpers for the tests of the Python surface."""

from __future__ import annotations

import base64
import re
import shutil
import socket
import subprocess
from pathlib import Path

import pytest

from quorlin import _quorlin
from quorlin.__main__ import command_path

# RFC 7748 section 6.1: Alice's private key and the public key it gives.
PRIVATE_KEY = base64.b64encode(
    bytes.fromhex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a")
).decode()
CLIENT_PUBLIC_KEY = base64.b64encode(
    bytes.fromhex("8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a")
).decode()
# Bob's public key stands in for the peer.
PEER_KEY = base64.b64encode(
    bytes.fromhex("de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f")
).decode()

LIMIT_MESSAGE = "must be an integer from 1 through 86400000"
REPORT_KEYS = ["schema_version", "verdict", "endpoint", "resolved_endpoint", "local_udp_address",
               "client_public_key", "duration_ms", "sent_bytes", "received_bytes", "phases"]


def config_text(*, endpoint: str | None = "127.0.0.1:9", address: str | None = "10.0.0.2/32",
                allowed_ips: str | None = "10.0.0.0/24") -> str:
    """A client configuration; a field given as None is left out."""
    lines = ["[Interface]", f"PrivateKey = {PRIVATE_KEY}", f"Address = {address}", "DNS = 10.0.0.1", "",
             "[Peer]", f"PublicKey = {PEER_KEY}", f"Endpoint = {endpoint}", f"AllowedIPs = {allowed_ips}"]
    return "".join(line + "\n" for line in lines if not line.endswith(" = None"))


@pytest.fixture
def write_config(tmp_path: Path):
    def write(**fields) -> Path:
        path = tmp_path / "wg0.conf"
        path.write_text(config_text(**fields))
        return path

    return write


@pytest.fixture
def key_file(tmp_path: Path) -> Path:
    path = tmp_path / "private.key"
    path.write_text(PRIVATE_KEY + "\n")
    return path


@pytest.fixture
def missing_path(tmp_path: Path) -> Path:
    return tmp_path / "does-not-exist.conf"


def stop_process(process, timeout: float = 30.0) -> None:
    """SIGTERM, then SIGKILL when it has not ended within `timeout`; reaped either way."""
    process.terminate()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=timeout)


def quorlin_command() -> str:
    """The native `quorlin` executable installed with the package."""
    path = command_path()
    assert path is not None, "the quorlin executable is not installed for this interpreter"
    return path


def copy_of_command(folder: Path) -> Path:
    """The installed command copied into `folder`, with the libraries a wheel bundles for it: the
    copy finds them in folder/libs. A source install loads only the system's, which stay where they are."""
    program = folder / "quorlin"
    shutil.copy2(quorlin_command(), program)
    loaded = subprocess.run(["ldd", quorlin_command()], capture_output=True, text=True, check=True, timeout=60).stdout
    bundled = [Path(path) for path in re.findall(r"=> (/\S+)", loaded) if Path(path).parent.name.endswith(".libs")]
    if bundled:
        (folder / "libs").mkdir()
        for library in bundled:
            shutil.copy2(library, folder / "libs" / library.name)
        subprocess.run(["patchelf", "--force-rpath", "--set-rpath", "$ORIGIN/libs", str(program)], check=True, timeout=60)
    return program


def missing_file_message(label: str, path: Path | str) -> str:
    return f"could not inspect {label} file {path}: No such file or directory (os error 2)"


def notes(error: BaseException) -> list[str] | None:
    return getattr(error, "__notes__", None)


def refusal(error: type[BaseException], call, *args, **kwargs) -> BaseException:
    """The exception `call` raises, which must be exactly of type `error`."""
    with pytest.raises(error) as caught:
        call(*args, **kwargs)
    assert type(caught.value) is error
    return caught.value


def refused(call, *args, **kwargs) -> str:
    """The message of the ConfigurationError `call` raises."""
    return str(refusal(_quorlin.ConfigurationError, call, *args, **kwargs))


@pytest.fixture
def closed_udp_port() -> int:
    """A loopback UDP port with nothing bound to it: datagrams are refused."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe_socket:
        probe_socket.bind(("127.0.0.1", 0))
        return probe_socket.getsockname()[1]


@pytest.fixture
def silent_peer():
    """A loopback UDP socket that receives and never answers."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as silent:
        silent.bind(("127.0.0.1", 0))
        silent.settimeout(30)
        yield silent


@pytest.fixture(scope="module")
def peer():
    """One real WireGuard peer for a test module (tests/peer/wgpeer.py)."""
    from real_peer import wgpeer

    with wgpeer.WireGuardPeer() as running:
        yield running


@pytest.fixture(scope="module")
def prober(peer):
    from real_peer import Prober

    return Prober(peer)
