#!/usr/bin/env python3
"""A real WireGuard peer for tests, alone in a network namespace of its own.

One peer is: a uniquely named network namespace with `lo` up, `wireguard-go`
(kept in the foreground as our child) configured with `wg`, a tunnel address
on its interface (the namespace's kernel answers ICMP echo for it), and
`dnsmasq` on that address answering fixed A records. The namespace also gets
its own `hosts` and `resolv.conf` under /etc/netns/NAME, so that a host-name
lookup made inside it never leaves the machine.

Everything is torn down on every path: processes we started are ended by
their pid, the namespace, its /etc/netns folder, the control socket and the
key folder are removed. Needs root.

From Python::

    with WireGuardPeer(preshared_key=True) as peer:
        peer.info["endpoint_ipv4"]          # "127.0.0.1:51820" inside the namespace
        with peer.entered():                # this thread now lives in the namespace
            ...
        peer.run(["python3", "-c", "..."])   # a command inside it, with its hosts file

From a shell or another language (one JSON line on stdout)::

    wgpeer.py serve [options]   # tears down when stdin closes or on SIGTERM/SIGINT
    wgpeer.py start [options]   # leaves the peer running; end it with `stop NAME`
    wgpeer.py stop NAME
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import ipaddress
import itertools
import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOOLS = ("ip", "wg", "wireguard-go", "dnsmasq")
NETNS_DIR = Path("/var/run/netns")
ETC_NETNS_DIR = Path("/etc/netns")
WG_SOCKET_DIR = Path("/var/run/wireguard")
STATE_DIR = Path("/run/quorlin-peer")

LISTEN_PORT = 51820
TUNNEL = ipaddress.IPv4Interface("10.99.0.1/24")  # the peer's interface address
CLIENT = ipaddress.IPv4Interface("10.99.0.2/32")  # the client's allowed IPs at the peer
# The tunnel's IPv6 side, where the namespace has IPv6.
TUNNEL6 = ipaddress.IPv6Interface("fd00:99::1/64")
CLIENT6 = ipaddress.IPv6Interface("fd00:99::2/128")
REAL_CLIENT_ALLOWED_IP = "10.99.255.254/32"  # a real client's allowed IPs: nothing there, no route
# Extra client keys (many probing keys on one peer) get addresses here, routed
# into the tunnel, so that the peer's answers find them.
EXTRA_CLIENTS = ipaddress.IPv4Network("10.99.128.0/17")
HOST_NAME = "peer.quorlin.test"
# Names every peer answers: one A record, two A records (answered in this
# order), a name with an AAAA record only (no A records: NOERROR with an empty
# answer) and a name that does not exist.
DEFAULT_RECORDS = (
    ("ok.quorlin.test", "192.0.2.10"),
    ("two.quorlin.test", "192.0.2.1"),
    ("two.quorlin.test", "192.0.2.2"),
    ("empty.quorlin.test", "2001:db8::1"),
)
NXDOMAIN = ("nx.quorlin.test",)

START_TIMEOUT_S = 20.0
STOP_TIMEOUT_S = 5.0
COMMAND_TIMEOUT_S = 15.0

_counter = itertools.count()


class PeerError(Exception):
    """The peer could not be started or stopped; the text says why."""


class PeerUnavailable(PeerError):
    """This machine cannot run a peer at all (not root, tools missing)."""


def unavailable_reason() -> str | None:
    """Why a peer cannot run here, or None when it can."""
    if os.geteuid() != 0:
        return "the real WireGuard peer needs root (network namespaces, a TUN device)"
    missing = [tool for tool in TOOLS if shutil.which(tool) is None]
    if missing:
        return "missing tools for the real WireGuard peer: " + ", ".join(missing) + \
            " (scripts/install-deps.sh installs them)"
    if not os.path.exists("/dev/net/tun"):
        return "/dev/net/tun is missing; wireguard-go needs a TUN device"
    return None


def _unique_names() -> tuple[str, str]:
    """A namespace name and an interface name no other run uses.

    Interface names are at most 15 bytes and wireguard-go's control socket
    lives in the shared /var/run/wireguard, so both carry pid, counter and
    random hex, and a clash with an existing socket or namespace is retried.
    """
    for _ in range(100):
        pid, count = os.getpid(), next(_counter)
        namespace = f"qpeer-{pid}-{count}-{secrets.token_hex(4)}"
        interface = _interface_name("qw", pid, count)
        if not (NETNS_DIR / namespace).exists() and \
                not (WG_SOCKET_DIR / f"{interface}.sock").exists():
            return namespace, interface
    raise PeerError("could not find unused namespace and interface names")


def _interface_name(prefix: str, pid: int, count: int) -> str:
    stem = f"{prefix}{pid:x}{count:x}"[:11]
    return stem + secrets.token_hex(4)[: 15 - len(stem)]


def _unique_interface(prefix: str) -> str:
    """An interface name whose control socket no other run uses."""
    for _ in range(100):
        interface = _interface_name(prefix, os.getpid(), next(_counter))
        if not (WG_SOCKET_DIR / f"{interface}.sock").exists():
            return interface
    raise PeerError("could not find an unused interface name")


def _run(argv: list[str], *, input_text: str | None = None) -> str:
    """Runs a short command with a time bound; its stdout, or PeerError."""
    try:
        done = subprocess.run(argv, input=input_text, capture_output=True, text=True,
                              timeout=COMMAND_TIMEOUT_S, check=False)
    except subprocess.TimeoutExpired:
        raise PeerError(f"{' '.join(argv)}: no answer within {COMMAND_TIMEOUT_S:.0f} s") from None
    if done.returncode != 0:
        raise PeerError(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def _parse_records(records) -> list[tuple[str, str]]:
    """(name, address) pairs from a mapping name -> address(es) or an iterable of pairs."""
    if records is None:
        return []
    if isinstance(records, dict):
        pairs = []
        for name, addresses in records.items():
            if isinstance(addresses, str):
                addresses = [addresses]
            pairs.extend((name, address) for address in addresses)
    else:
        pairs = [tuple(pair) for pair in records]
    result = []
    for name, address in pairs:
        _check_name(name)
        try:
            ipaddress.ip_address(address)
        except ValueError:
            raise PeerError(f"record address must be an IPv4 or IPv6 address, got {address!r}") from None
        result.append((name, address))
    return result


def _check_name(name: str) -> None:
    # The name ends up inside a dnsmasq option between slashes.
    labels = name.split(".")
    if not name or len(name) > 253 or any(
            not label or len(label) > 63 or not all(c.isalnum() or c == "-" for c in label)
            for label in labels) or not name.isascii():
        raise PeerError(f"record name must be a DNS name of letters, digits and hyphens, got {name!r}")


def _udp_ports_bound(pid: int) -> set[tuple[str, int]]:
    """(hex local address, port) of every UDP socket in the namespace of pid."""
    bound = set()
    for table in ("udp", "udp6"):
        try:
            lines = Path(f"/proc/{pid}/net/{table}").read_text().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            local = line.split()[1]
            address, port = local.split(":")
            bound.add((address, int(port, 16)))
    return bound


def _ipv4_hex(address: str) -> str:
    # /proc/net/udp shows an IPv4 address as the native-endian 32-bit word.
    return ipaddress.IPv4Address(address).packed[::-1].hex().upper()


def _has_ipv6_loopback(pid: int) -> bool:
    try:
        text = Path(f"/proc/{pid}/net/if_inet6").read_text()
    except OSError:
        return False
    return any(line.split()[0] == "0" * 31 + "1" for line in text.splitlines() if line.strip())


def _end_process(pid: int, popen: subprocess.Popen | None) -> None:
    """SIGTERM, a bounded wait, then SIGKILL; reaps it when it is our child."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + STOP_TIMEOUT_S
    while time.monotonic() < deadline:
        if popen is not None:
            if popen.poll() is not None:
                return
        elif not _is_alive(pid):
            return
        time.sleep(0.02)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    if popen is not None:
        with contextlib.suppress(subprocess.TimeoutExpired):
            popen.wait(timeout=STOP_TIMEOUT_S)
    else:
        deadline = time.monotonic() + STOP_TIMEOUT_S
        while _is_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)


def _is_alive(pid: int) -> bool:
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return False
    return state != "Z"


def _namespace_pids(namespace: str) -> list[int]:
    """Processes living in our namespace: all of them were started for this peer."""
    if not (NETNS_DIR / namespace).exists():
        return []
    try:
        out = subprocess.run(["ip", "netns", "pids", namespace], capture_output=True, text=True,
                             timeout=COMMAND_TIMEOUT_S, check=False).stdout
    except subprocess.TimeoutExpired:
        return []
    return [int(word) for word in out.split() if word.isdigit()]


_libc = None


def _setns(fd: int, nstype: int) -> None:
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
    if _libc.setns(fd, nstype) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err))


CLONE_NEWNET = 0x40000000


@contextlib.contextmanager
def entered_namespace(namespace: str):
    """Moves the calling thread into the namespace's network stack and back.

    Only the network namespace changes (not /etc/hosts): sockets opened inside
    talk to the peer over the namespace's loopback. Threads started inside
    inherit the namespace.
    """
    original = os.open("/proc/thread-self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
    try:
        target = os.open(NETNS_DIR / namespace, os.O_RDONLY | os.O_CLOEXEC)
        try:
            _setns(target, CLONE_NEWNET)
        finally:
            os.close(target)
        try:
            yield
        finally:
            _setns(original, CLONE_NEWNET)
    finally:
        os.close(original)


class WireGuardPeer:
    """One real WireGuard peer; a context manager (start on enter, stop on exit)."""

    def __init__(self, *, preshared_key: bool = False, records=None, dns: bool = True, extra_clients: int = 0):
        if not 0 <= extra_clients < EXTRA_CLIENTS.num_addresses - 2:
            raise PeerError(f"extra_clients must be from 0 through {EXTRA_CLIENTS.num_addresses - 3}")
        self._records = list(DEFAULT_RECORDS) + _parse_records(records)
        self._preshared = preshared_key
        self._extra_clients = extra_clients
        self._dns = dns
        self.info: dict | None = None
        self.namespace: str | None = None
        self.interface: str | None = None
        self._workdir: Path | None = None
        self._processes: list[subprocess.Popen] = []

    # -- lifecycle ---------------------------------------------------------

    def __enter__(self) -> "WireGuardPeer":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    def start(self) -> dict:
        reason = unavailable_reason()
        if reason:
            raise PeerUnavailable(reason)
        if self.namespace is not None:
            raise PeerError("peer already started")
        self.namespace, self.interface = _unique_names()
        try:
            self._start()
        except BaseException as error:
            try:
                self.stop()
            except PeerError as teardown:
                if isinstance(error, PeerError):
                    raise PeerError(f"{error}; and while tearing down: {teardown}") from error
            raise
        return self.info

    def _start(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT_S
        self._workdir = Path(tempfile.mkdtemp(prefix=f"{self.namespace}-"))
        _run(["ip", "netns", "add", self.namespace])
        self._write_state()
        _run(["ip", "-n", self.namespace, "link", "set", "lo", "up"])
        self._write_etc()

        peer_private = _run(["wg", "genkey"]).strip()
        peer_public = _run(["wg", "pubkey"], input_text=peer_private + "\n").strip()
        client_private = _run(["wg", "genkey"]).strip()
        client_public = _run(["wg", "pubkey"], input_text=client_private + "\n").strip()
        preshared = _run(["wg", "genpsk"]).strip() if self._preshared else None
        key_file = self._secret_file("peer.key", peer_private)

        wg_proc = self._spawn("wireguard-go", ["wireguard-go", self.interface],
                              {"WG_PROCESS_FOREGROUND": "1", "LOG_LEVEL": "verbose"})
        socket_path = WG_SOCKET_DIR / f"{self.interface}.sock"
        self._wait_for(lambda: socket_path.exists(), wg_proc, deadline,
                       f"wireguard-go did not open {socket_path}")

        command = ["ip", "netns", "exec", self.namespace, "wg", "set", self.interface,
                   "private-key", str(key_file), "listen-port", str(LISTEN_PORT),
                   "peer", client_public, "allowed-ips", f"{CLIENT.network},{CLIENT6.network}"]
        if preshared is not None:
            command += ["preshared-key", str(self._secret_file("psk.key", preshared))]
        _run(command)
        extra_clients = self._add_extra_clients(preshared is not None)
        _run(["ip", "-n", self.namespace, "address", "add", str(TUNNEL), "dev", self.interface])
        _run(["ip", "-n", self.namespace, "link", "set", self.interface, "up"])
        if extra_clients:
            _run(["ip", "-n", self.namespace, "route", "add", str(EXTRA_CLIENTS), "dev", self.interface])
        self._wait_for(lambda: ("00000000", LISTEN_PORT) in _udp_ports_bound(wg_proc.pid),
                       wg_proc, deadline, f"wireguard-go is not listening on port {LISTEN_PORT}")

        ipv6 = self._ensure_ipv6_loopback(wg_proc.pid)
        if ipv6:
            any6 = "0" * 32
            self._wait_for(lambda: (any6, LISTEN_PORT) in _udp_ports_bound(wg_proc.pid),
                           wg_proc, deadline, "wireguard-go is not listening on IPv6")
            _run(["ip", "-n", self.namespace, "-6", "address", "add", str(TUNNEL6), "dev", self.interface, "nodad"])

        dns_address = str(TUNNEL.ip)
        if self._dns:
            dns_proc = self._spawn("dnsmasq", self._dnsmasq_command(dns_address), {})
            self._wait_for(lambda: (_ipv4_hex(dns_address), 53) in _udp_ports_bound(dns_proc.pid),
                           dns_proc, deadline, f"dnsmasq is not listening on {dns_address}:53")
        self._write_state()

        records: dict[str, list[str]] = {}
        for name, address in self._records:
            records.setdefault(name, []).append(address)
        port = LISTEN_PORT
        self.info = {
            "namespace": self.namespace,
            "interface": self.interface,
            "listen_port": port,
            "endpoint_ipv4": f"127.0.0.1:{port}",
            "endpoint_ipv6": f"[::1]:{port}" if ipv6 else None,
            "host_name": HOST_NAME,
            "endpoint_host": f"{HOST_NAME}:{port}",
            "peer_public_key": peer_public,
            "client_private_key": client_private,
            "client_public_key": client_public,
            "preshared_key": preshared,
            "tunnel_address": str(TUNNEL),
            "peer_tunnel_ip": str(TUNNEL.ip),
            "client_address": str(CLIENT),
            "client_tunnel_ip": str(CLIENT.ip),
            "peer_tunnel_ip6": str(TUNNEL6.ip) if ipv6 else None,
            "client_address6": str(CLIENT6),
            "dns_address": dns_address if self._dns else None,
            "records": records,
            "nxdomain": list(NXDOMAIN),
            "log_dir": str(self._workdir),
            "extra_clients": extra_clients,
        }

    def _add_extra_clients(self, preshared: bool) -> list[dict]:
        """More client keys on the peer, each with an address of its own (one `wg set`)."""
        clients, command = [], ["ip", "netns", "exec", self.namespace, "wg", "set", self.interface]
        for address in itertools.islice(EXTRA_CLIENTS.hosts(), self._extra_clients):
            private = _run(["wg", "genkey"]).strip()
            public = _run(["wg", "pubkey"], input_text=private + "\n").strip()
            clients.append({"private_key": private, "public_key": public, "address": f"{address}/32"})
            command += ["peer", public, "allowed-ips", f"{address}/32"]
            if preshared:
                command += ["preshared-key", str(self._workdir / "psk.key")]
        if clients:
            _run(command)
        return clients

    def stop(self) -> None:
        """Tears everything down; safe to call twice and after a failed start.

        Every step runs even when an earlier one fails; the failures are then
        raised together.
        """
        if self.namespace is None:
            return
        errors = _teardown(self.namespace, self.interface, self._workdir,
                           [(p.pid, p) for p in self._processes])
        self._processes.clear()
        self.namespace = None
        self.info = None
        if errors:
            raise PeerError("; ".join(errors))

    # -- use ---------------------------------------------------------------

    def entered(self):
        """Context manager: the calling thread joins the namespace's network stack."""
        self._require_started()
        return entered_namespace(self.namespace)

    def run(self, argv: list[str], *, timeout: float = 60.0, **kwargs) -> subprocess.CompletedProcess:
        """Runs argv inside the namespace, with its own hosts and resolv.conf mounted."""
        self._require_started()
        kwargs.setdefault("capture_output", True)
        kwargs.setdefault("text", True)
        return subprocess.run(["ip", "netns", "exec", self.namespace, *argv], timeout=timeout,
                              check=False, **kwargs)

    def real_client_handshake(self) -> int:
        """One handshake by a standard client with the client's own key, then the client is gone.

        A second wireguard-go interface in the namespace, configured with the
        client's private key and aimed at the peer's IPv4 endpoint, handshakes
        (persistent keepalive 1) and is torn down completely. Its allowed IPs
        are an address nobody uses and it gets no address, so the namespace's
        routes do not change. Afterwards the peer holds the client's standard
        timestamp and endpoint, as after a real client's visit. Returns the
        handshake's Unix time as the client saw it.
        """
        self._require_started()
        interface = _unique_interface("qc")
        socket_path = WG_SOCKET_DIR / f"{interface}.sock"
        deadline = time.monotonic() + START_TIMEOUT_S
        proc = key_file = None
        try:
            proc = self._spawn(interface, ["wireguard-go", interface],
                               {"WG_PROCESS_FOREGROUND": "1", "LOG_LEVEL": "verbose"})
            self._wait_for(socket_path.exists, proc, deadline, f"wireguard-go did not open {socket_path}",
                           program=interface)
            key_file = self._secret_file(f"{interface}.key", self.info["client_private_key"])
            command = ["ip", "netns", "exec", self.namespace, "wg", "set", interface,
                       "private-key", str(key_file), "peer", self.info["peer_public_key"],
                       "endpoint", self.info["endpoint_ipv4"], "allowed-ips", REAL_CLIENT_ALLOWED_IP,
                       "persistent-keepalive", "1"]
            if self.info["preshared_key"]:
                command += ["preshared-key", str(self._workdir / "psk.key")]
            _run(command)
            _run(["ip", "-n", self.namespace, "link", "set", interface, "up"])
            while True:
                shown = _run(["ip", "netns", "exec", self.namespace, "wg", "show", interface,
                              "latest-handshakes"]).split()
                if len(shown) == 2 and shown[1] != "0":
                    return int(shown[1])
                if proc.poll() is not None or time.monotonic() >= deadline:
                    raise PeerError(f"the real client {interface} did not complete a handshake within "
                                    f"{START_TIMEOUT_S:.0f} s; log: {self.log(interface).strip()[-2000:]}")
                time.sleep(0.02)
        finally:
            # wireguard-go removes its interface and socket when it ends; the
            # socket is left after a kill.
            if proc is not None:
                _end_process(proc.pid, proc)
                self._processes.remove(proc)
                self._write_state()
            with contextlib.suppress(FileNotFoundError):
                socket_path.unlink()
            if key_file is not None:
                key_file.unlink()

    def log(self, program: str) -> str:
        """What wireguard-go or dnsmasq wrote so far (for failure messages)."""
        self._require_started()
        with contextlib.suppress(OSError):
            return (self._workdir / f"{program}.log").read_text(errors="replace")
        return ""

    # -- internals ---------------------------------------------------------

    def _require_started(self) -> None:
        if self.namespace is None:
            raise PeerError("peer is not running")

    def _secret_file(self, name: str, content: str) -> Path:
        path = self._workdir / name
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
        with os.fdopen(fd, "w") as f:
            f.write(content + "\n")
        return path

    def _write_etc(self) -> None:
        # `ip netns exec` mounts these over /etc/hosts and /etc/resolv.conf. The
        # name server is the namespace's own loopback, where nothing listens, so a
        # name the hosts file does not know fails at once instead of leaving the
        # machine.
        etc = ETC_NETNS_DIR / self.namespace
        etc.mkdir(parents=True, mode=0o755)
        (etc / "hosts").write_text(
            "127.0.0.1\tlocalhost\n::1\tlocalhost\n"
            f"127.0.0.1\t{HOST_NAME}\n::1\t{HOST_NAME}\n")
        (etc / "resolv.conf").write_text("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")

    def _spawn(self, program: str, argv: list[str], env_extra: dict) -> subprocess.Popen:
        """Starts argv in the namespace, logging to PROGRAM.log (see `log`)."""
        log = open(self._workdir / f"{program}.log", "wb")
        try:
            # Own session: a Ctrl-C in the terminal reaches us, and we end them.
            proc = subprocess.Popen(["ip", "netns", "exec", self.namespace, *argv],
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                    env={**os.environ, **env_extra}, start_new_session=True)
        finally:
            log.close()
        self._processes.append(proc)
        self._write_state()
        return proc

    def _wait_for(self, ready, proc: subprocess.Popen, deadline: float, what: str,
                  program: str | None = None) -> None:
        program = program or proc.args[4]  # after "ip netns exec NAME"
        while not ready():
            if proc.poll() is not None:
                raise PeerError(f"{what}: it exited with {proc.returncode}; log: "
                                f"{self.log(program).strip()[-2000:]}")
            if time.monotonic() >= deadline:
                raise PeerError(f"{what} within {START_TIMEOUT_S:.0f} s")
            time.sleep(0.02)

    def _ensure_ipv6_loopback(self, pid: int) -> bool:
        if _has_ipv6_loopback(pid):
            return True
        with contextlib.suppress(PeerError):
            _run(["ip", "netns", "exec", self.namespace, "sysctl", "-q", "-w",
                  "net.ipv6.conf.all.disable_ipv6=0", "net.ipv6.conf.lo.disable_ipv6=0"])
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            if _has_ipv6_loopback(pid):
                return True
            time.sleep(0.02)
        return False

    def _dnsmasq_command(self, address: str) -> list[str]:
        command = ["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                   "--conf-file=/dev/null", "--bind-interfaces", f"--listen-address={address}",
                   "--port=53", "--user=root", "--pid-file=", "--log-facility=-", "--log-queries"]
        # dnsmasq answers a name's addresses in the reverse of the order given.
        for name, record in reversed(self._records):
            command.append(f"--address=/{name}/{record}")
        # A name known only locally: an A query for a name with no A record gets
        # an empty answer instead of being refused for want of an upstream server.
        for name in dict.fromkeys(name for name, _ in self._records):
            command.append(f"--local=/{name}/")
        for name in NXDOMAIN:
            command.append(f"--address=/{name}/")
        return command

    def _write_state(self) -> None:
        # Lets `wgpeer.py stop NAME` (another process) find what to end.
        STATE_DIR.mkdir(parents=True, exist_ok=True, mode=0o700)
        state = {"namespace": self.namespace, "interface": self.interface,
                 "workdir": str(self._workdir) if self._workdir else None,
                 "pids": [p.pid for p in self._processes]}
        tmp = STATE_DIR / f".{self.namespace}.tmp"
        tmp.write_text(json.dumps(state))
        tmp.replace(STATE_DIR / f"{self.namespace}.json")


def _teardown(namespace: str, interface: str | None, workdir: Path | None,
              processes: list[tuple[int, subprocess.Popen | None]]) -> list[str]:
    errors = []
    known = {pid for pid, _ in processes}
    # Anything else still running in the namespace was started inside it for
    # this peer (for example by `run`), so it ends with it.
    extra = [(pid, None) for pid in _namespace_pids(namespace) if pid not in known]
    for pid, popen in list(reversed(processes)) + extra:
        try:
            _end_process(pid, popen)
        except OSError as error:
            errors.append(f"could not end process {pid}: {error}")
    if (NETNS_DIR / namespace).exists():
        try:
            _run(["ip", "netns", "delete", namespace])
        except PeerError as error:
            errors.append(str(error))
    if interface:
        # wireguard-go removes its socket on a clean exit, not after SIGKILL.
        with contextlib.suppress(FileNotFoundError):
            (WG_SOCKET_DIR / f"{interface}.sock").unlink()
    for path in (ETC_NETNS_DIR / namespace, workdir):
        if path is not None:
            try:
                shutil.rmtree(path)
            except FileNotFoundError:
                pass
            except OSError as error:
                errors.append(f"could not remove {path}: {error}")
    with contextlib.suppress(FileNotFoundError):
        (STATE_DIR / f"{namespace}.json").unlink()
    return errors


def stop_by_name(namespace: str) -> None:
    """Ends a peer that `start` left running (possibly from another process)."""
    if not namespace.startswith("qpeer-") or "/" in namespace:
        raise PeerError(f"not a peer namespace name: {namespace!r}")
    try:
        state = json.loads((STATE_DIR / f"{namespace}.json").read_text())
    except FileNotFoundError:
        state = {"namespace": namespace, "interface": None, "workdir": None, "pids": []}
        if not (NETNS_DIR / namespace).exists() and not (ETC_NETNS_DIR / namespace).exists():
            raise PeerError(f"no such peer: {namespace}") from None
    # The recorded pids may have been reused since; only processes still inside
    # the namespace are certainly ours, and _teardown finds those by itself.
    in_namespace = set(_namespace_pids(namespace))
    processes = [(pid, None) for pid in state.get("pids", []) if pid in in_namespace]
    workdir = Path(state["workdir"]) if state.get("workdir") else None
    errors = _teardown(namespace, state.get("interface"), workdir, processes)
    if errors:
        raise PeerError("; ".join(errors))


def _options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--preshared-key", action="store_true", help="also use a fresh preshared key")
    parser.add_argument("--records", nargs="*", default=[], metavar="NAME=IP",
                        help="A (or AAAA) records dnsmasq answers; repeat a name for several")
    parser.add_argument("--no-dns", action="store_true", help="do not start dnsmasq")


def _peer_from(args) -> WireGuardPeer:
    records = []
    for item in args.records:
        name, sep, address = item.partition("=")
        if not sep:
            raise PeerError(f"--records takes NAME=IP, got {item!r}")
        records.append((name, address))
    return WireGuardPeer(preshared_key=args.preshared_key, records=records, dns=not args.no_dns)


def _serve(peer: WireGuardPeer) -> None:
    """Keeps the peer up until stdin reaches its end or a signal asks to stop.

    Whoever holds our stdin owns the peer: when that process ends, however it
    ends, the pipe closes and the peer goes with it.
    """
    def ask_to_stop(signum, frame):
        raise KeyboardInterrupt
    for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(signum, ask_to_stop)
    try:
        peer.start()
        print(json.dumps(peer.info, separators=(",", ":")), flush=True)
        while os.read(sys.stdin.fileno(), 4096):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        # A second signal must not cut the teardown short.
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(signum, signal.SIG_IGN)
        peer.stop()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A real WireGuard test peer in its own network namespace.")
    commands = parser.add_subparsers(dest="command", required=True)
    _options(commands.add_parser("serve", help="start, print JSON, stop when stdin closes"))
    _options(commands.add_parser("start", help="start, print JSON, leave running"))
    commands.add_parser("stop", help="stop a peer left running by start").add_argument("name")
    commands.add_parser("check", help="say whether a peer can run here")
    args = parser.parse_args(argv)
    try:
        if args.command == "check":
            reason = unavailable_reason()
            print(json.dumps({"available": reason is None, "reason": reason}))
            return 0 if reason is None else 2
        if args.command == "stop":
            stop_by_name(args.name)
            return 0
        peer = _peer_from(args)
        if args.command == "serve":
            _serve(peer)
            return 0
        peer.start()
        print(json.dumps(peer.info, separators=(",", ":")), flush=True)
        return 0
    except PeerUnavailable as error:
        print(json.dumps({"error": str(error), "unavailable": True}), flush=True)
        return 2
    except PeerError as error:
        print(json.dumps({"error": str(error), "unavailable": False}), flush=True)
        return 1


if __name__ == "__main__":
    sys.exit(main())
